# frozen_string_literal: true

# Writes the inputs of `rake bench:kernels` into DIR and prints its rows,
# LABEL=SPEC, one a line (see bench/kernel_bench.cpp).
#   ruby bench/kernel_inputs.rb DIR
require_relative "corpus"
require_relative "pages"

dir = ARGV.fetch(0)
Dir.mkdir(dir) unless Dir.exist?(dir)
write = lambda do |name, bytes|
  path = File.join(dir, name)
  File.binwrite(path, bytes) unless File.exist?(path) && File.size(path) == bytes.bytesize
  path
end

texts = Corpus::KINDS.to_h { |kind| [kind, write.("#{kind}.txt", Corpus.text(kind, 256 * 1024))] }
markup_16m = write.("markup-16MiB.txt", Corpus.slice(Corpus.text(:markup, 16 * 1024 * 1024 + 64), 0, 16 * 1024 * 1024))
quotes = write.("quotes.txt", '"' * (64 * 1024))
whole = lambda do |kind, size|
  write.("#{kind}-#{size}.txt", Corpus.slice(Corpus.text(kind, size + 64), 0, size))
end
pages = File.join(dir, "pages.list")
File.write(pages, Pages.paths.join("\n"))
largest = Pages.paths.max_by { |p| File.size(p) }

rows = {
  "clean 16 B" => "#{texts[:clean]}@16",
  "prose 16 B" => "#{texts[:prose]}@16",
  "markup 16 B" => "#{texts[:markup]}@16",
  "markup 64 B" => "#{texts[:markup]}@64",
  "markup 256 B" => "#{texts[:markup]}@256",
  "clean 64 KiB" => whole.(:clean, 65_536),
  "prose 64 KiB" => whole.(:prose, 65_536),
  "markup 64 KiB" => whole.(:markup, 65_536),
  "form fields and JSON 64 KiB" => whole.(:attrs, 65_536),
  "quotes only 64 KiB" => quotes,
  "markup 16 MiB" => markup_16m,
  "largest real page, #{File.basename(largest)}" => largest,
  "all #{Pages.paths.size} real pages, a call each" => "@#{pages}"
}
rows.each { |label, spec| puts "#{label}=#{spec}" }
