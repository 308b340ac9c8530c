# frozen_string_literal: true

# Times exe/cgiesc against five sed substitutions on a 256 MiB markup file,
# whole processes, in alternation; prints the median ratio of the pairs.

require "rbconfig"
require "tmpdir"
require_relative "corpus"

module CLIBench
  ROOT = File.expand_path("..", __dir__)
  SIZE = Integer(ENV.fetch("BENCH_CLI_MIB", 256)) * 1024 * 1024
  PAIRS = Integer(ENV.fetch("BENCH_CLI_PAIRS", 3))
  SED = ["sed", "-e", "s/&/\\&amp;/g", "-e", "s/</\\&lt;/g", "-e", "s/>/\\&gt;/g",
         "-e", "s/\"/\\&quot;/g", "-e", "s/'/\\&#39;/g"].freeze

  module_function

  def cgiesc(file) = [RbConfig.ruby, "-I", File.join(ROOT, "lib"), File.join(ROOT, "exe", "cgiesc"), file]
  def sed(file) = [*SED, file]

  def run(cmd, out)
    t = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    system({ "LC_ALL" => "C" }, *cmd, out: out, exception: true)
    Process.clock_gettime(Process::CLOCK_MONOTONIC) - t
  end

  def write_markup(path, size)
    piece = Corpus.text(:markup, 4 * 1024 * 1024)
    File.open(path, "wb") do |f|
      written = 0
      while written < size
        chunk = piece.byteslice(0, size - written)
        f.write(chunk)
        written += chunk.bytesize
      end
    end
  end

  def main
    Dir.mktmpdir("cgiesc-bench") do |dir|
      small = File.join(dir, "small.html")
      write_markup(small, 3 * 1024 * 1024 + 17)
      run(cgiesc(small), File.join(dir, "a.out"))
      run(sed(small), File.join(dir, "b.out"))
      abort "exe/cgiesc and sed disagree" unless FileUtils.compare_file(File.join(dir, "a.out"), File.join(dir, "b.out"))

      big = File.join(dir, "big.html")
      write_markup(big, SIZE)
      pairs = Array.new(PAIRS) do
        ours = run(cgiesc(big), File::NULL)
        theirs = run(sed(big), File::NULL)
        [ours, theirs]
      end
      ratios = pairs.map { |o, t| t / o }.sort
      ours = pairs.map(&:first).sort[PAIRS / 2]
      theirs = pairs.map(&:last).sort[PAIRS / 2]
      mib = SIZE / 1024.0 / 1024
      puts
      puts "| command, #{mib.round} MiB markup | seconds | MB/s | speed vs sed |"
      puts "|---|---:|---:|---:|"
      printf("| exe/cgiesc | %.2f | %.0f | %.1f |\n", ours, SIZE / ours / 1e6, ratios[PAIRS / 2])
      printf("| sed, five substitutions (LC_ALL=C) | %.2f | %.0f | 1.0 |\n", theirs, SIZE / theirs / 1e6)
    end
  end
end

require "fileutils"
CLIBench.main if $PROGRAM_NAME == __FILE__
