# frozen_string_literal: true

# The second table of `rake bench`: CGI.escapeHTML as applications run it.
# The C allocator has its defaults (no GLIBC_TUNABLES, nothing pre-faulted),
# and every cell is a fresh process that warms its heap with half as many
# calls as it then times. Beside the time it reports minor page faults per
# call and collections per 1,000 calls, against two copies made the same
# way: the copy floor (s + "") and a copy of a string as long as the result.
#
#   ruby -Ilib bench/app_bench.rb           # the table, medians of BENCH_APP_RUNS (3)
#   ruby -Ilib bench/app_bench.rb CORPUS ROW   # one cell, one line of JSON

require "json"
require "rbconfig"
require_relative "corpus"

module AppBench
  ROOT = File.expand_path("..", __dir__)
  RUNS = Integer(ENV.fetch("BENCH_APP_RUNS", 3))
  CORPORA = {
    "clean 64 KiB" => [:clean, 64 * 1024], "prose 64 KiB" => [:prose, 64 * 1024],
    "markup 64 KiB" => [:markup, 64 * 1024], "attrs 64 KiB" => [:attrs, 64 * 1024],
    "markup 16 MiB" => [:markup, 16 * 1024 * 1024], "attrs 16 MiB" => [:attrs, 16 * 1024 * 1024]
  }.freeze
  ROWS = {
    "cgiesc" => ->(s, _r) { CGI.escapeHTML(s) },
    "copy floor" => ->(s, _r) { s + "" },
    "result-length copy" => ->(_s, r) { r + "" }
  }.freeze
  # Roughly a second of calls per cell, whatever the size.
  def self.calls(size) = size >= 1024 * 1024 ? 40 : 2000

  module_function

  def minor_faults = File.read("/proc/self/stat").split(") ").last.split[7].to_i

  def clock = Process.clock_gettime(Process::CLOCK_MONOTONIC)

  # One cell, in this (fresh) process.
  def cell(corpus, row)
    require "cgiesc"
    kind, size = CORPORA.fetch(corpus)
    src = Corpus.slice(Corpus.text(kind, size + 64), 0, size)
    result = CGI.escapeHTML(src)
    call = ROWS.fetch(row)
    calls = calls(size)
    (calls / 2).times { call.(src, result) }
    faults = minor_faults
    gcs = GC.count
    t = clock
    calls.times { call.(src, result) }
    elapsed = clock - t
    { us: elapsed / calls * 1e6, faults: (minor_faults - faults).fdiv(calls), gcs: (GC.count - gcs) * 1000.0 / calls,
      expansion: result.bytesize.fdiv(src.bytesize) }
  end

  def spawn_cell(corpus, row)
    # Whatever the caller's environment says, the allocator keeps its defaults.
    env = { "GLIBC_TUNABLES" => nil, "MALLOC_ARENA_MAX" => nil, "MALLOC_TOP_PAD_" => nil,
            "MALLOC_TRIM_THRESHOLD_" => nil, "MALLOC_MMAP_THRESHOLD_" => nil }
    # BENCH_EXT_DIR: time another build of the extension (put ahead of lib/).
    dirs = [ENV["BENCH_EXT_DIR"], File.join(ROOT, "lib")].compact.flat_map { |d| ["-I", d] }
    out = IO.popen(env, [RbConfig.ruby, *dirs, __FILE__, corpus, row], &:read)
    raise "cell #{corpus} / #{row} failed" unless $?.success?

    JSON.parse(out, symbolize_names: true)
  end

  def median(xs) = xs.sort[xs.size / 2]

  def run
    puts "As applications run it: default allocator, no tunables, a fresh process per cell, " \
         "medians of #{RUNS} runs."
    puts
    puts "| input (escaped/source) | row | µs/call | faults/call | GCs/1000 calls | time vs result copy | " \
         "faults vs result copy |"
    puts "|---|---|---:|---:|---:|---:|---:|"
    CORPORA.each_key do |corpus|
      runs = Array.new(RUNS) { ROWS.keys.to_h { |row| [row, spawn_cell(corpus, row)] } }
      cells = ROWS.keys.to_h do |row|
        [row, %i[us faults gcs].to_h { |k| [k, median(runs.map { |r| r[row][k] })] }]
      end
      # Each ratio is the median of the runs' own ratios, not of the medians.
      ref = "result-length copy"
      ROWS.each_key do |row|
        c = cells[row]
        time = median(runs.map { |r| r[row][:us] / r[ref][:us] })
        faults = median(runs.map { |r| r[row][:faults] - r[ref][:faults] })
        printf("| %s (%.2f) | %s | %.1f | %.1f | %.1f | %.2f | %+.1f |\n", corpus, runs[0][row][:expansion], row,
               c[:us], c[:faults], c[:gcs], time, faults)
      end
      $stdout.flush
    end
  end
end

if $PROGRAM_NAME == __FILE__
  if ARGV.size == 2
    puts JSON.generate(AppBench.cell(*ARGV))
  else
    AppBench.run
  end
end
