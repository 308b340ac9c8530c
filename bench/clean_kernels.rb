# frozen_string_literal: true

# Clean text through the extension itself, the avx512 kernel against avx2:
# CGI.escapeHTML on 64 KiB with nothing to escape, which is the scan alone.
# A process per build and kernel, taking turns, round after round; the
# median of each. Run by `rake bench:clean` with each build's directory:
#   ruby bench/clean_kernels.rb LABEL=DIR...
require "rbconfig"
require_relative "corpus"

ROUNDS = 7
CALLS = 20_000
input = File.join(__dir__, "..", "tmp", "clean-64KiB.txt")
File.binwrite(input, Corpus.slice(Corpus.text(:clean, 64 * 1024 + 64), 0, 64 * 1024))

PROBE = <<~'RUBY'
  require "cgiesc"
  s = File.binread(ARGV[0]).force_encoding("UTF-8")
  n = Integer(ARGV[1])
  3.times { CGI.escapeHTML(s) }
  best = Array.new(5) do
    t = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    n.times { CGI.escapeHTML(s) }
    (Process.clock_gettime(Process::CLOCK_MONOTONIC) - t) / n * 1e9
  end.min
  abort "kernel #{CGIEsc::KERNEL}, not #{ENV["CGIESC_KERNEL"]}" unless CGIEsc::KERNEL == ENV["CGIESC_KERNEL"]
  print best
RUBY

builds = ARGV.map { |a| a.split("=", 2) }
kernels = %w[avx512 avx2]
times = Hash.new { |h, k| h[k] = [] }
ROUNDS.times do
  builds.each do |label, dir|
    kernels.each do |kernel|
      out = IO.popen({ "CGIESC_KERNEL" => kernel }, [RbConfig.ruby, "-I", dir, "-I", File.join(__dir__, "..", "lib"),
                                                      "-e", PROBE, input, CALLS.to_s], &:read)
      abort "clean_kernels: the #{label} build did not run the #{kernel} kernel" unless $?.success?
      times[[label, kernel]] << Float(out)
    end
  end
end
median = ->(v) { v.sort[v.size / 2] }
puts "| build | avx512 ns/call | avx2 ns/call | avx512 speed vs avx2 |", "|---|---:|---:|---:|"
builds.each do |label, _|
  a = median.(times[[label, "avx512"]])
  b = median.(times[[label, "avx2"]])
  puts format("| %s | %.0f | %.0f | %.2f |", label, a, b, b / a)
end
