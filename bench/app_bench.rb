# frozen_string_literal: true

# The second table of `rake bench`: CGI.escapeHTML as applications run it.
# The C allocator has its defaults (no GLIBC_TUNABLES, nothing pre-faulted),
# and every cell is a fresh process that warms its heap with half as many
# passes as it then times. A pass is one call, or for a list (all pages, the
# values of a page) one call per string. Beside the time it reports minor
# page faults per call and collections per 1,000 calls, against the classic
# native design (bench/classic) and two copies made the same way: the copy
# floor (s + "") and a copy of a string as long as the result.
#
#   ruby -Ilib bench/app_bench.rb           # the table, medians of BENCH_APP_RUNS (3)
#   ruby -Ilib bench/app_bench.rb CORPUS ROW   # one cell, one line of JSON

require "json"
require "rbconfig"
require_relative "corpus"
require_relative "pages"

module AppBench
  ROOT = File.expand_path("..", __dir__)
  RUNS = Integer(ENV.fetch("BENCH_APP_RUNS", 3))
  # BENCH_ONLY="markup 64 KiB,values of a page" runs just those inputs.
  ONLY = ENV["BENCH_ONLY"]&.split(",")&.map(&:strip)
  CORPORA = {
    "clean 64 KiB" => [:clean, 64 * 1024], "prose 64 KiB" => [:prose, 64 * 1024],
    "markup 64 KiB" => [:markup, 64 * 1024], "attrs 64 KiB" => [:attrs, 64 * 1024],
    "markup 16 MiB" => [:markup, 16 * 1024 * 1024], "attrs 16 MiB" => [:attrs, 16 * 1024 * 1024],
    "largest page" => :largest, "median page" => :median, "all pages" => :all, "values of a page" => :values
  }.freeze
  ROWS = {
    "cgiesc" => ->(s, _r) { CGI.escapeHTML(s) },
    "cgiesc, avx2 kernel" => ->(s, _r) { CGI.escapeHTML(s) },
    "classic" => ->(s, _r) { ClassicEscape.escape_html(s) },
    "gsub" => ->(s, _r) { s.gsub(/['&"<>]/, GSUB_TABLE) },
    "copy floor" => ->(s, _r) { s + "" },
    "result-length copy" => ->(_s, r) { r + "" }
  }.freeze
  GSUB_TABLE = { "&" => "&amp;", "<" => "&lt;", ">" => "&gt;", '"' => "&quot;", "'" => "&#39;" }.freeze
  # The kernel cgiesc picks here, and the one it is compared with when
  # that is another: what a faster kernel gains in the whole call.
  BASE_KERNEL = "avx2"
  def self.kernel(env = {})
    IO.popen(env, [RbConfig.ruby, "-I", File.join(ROOT, "lib"), "-rcgiesc", "-e", "print CGIEsc::KERNEL"], &:read)
  end
  def self.compare_kernels? = (@compare ||= [kernel != BASE_KERNEL && kernel("CGIESC_KERNEL" => BASE_KERNEL) == BASE_KERNEL]).first

  # gsub is too slow to time on whole documents as applications run them.
  def self.rows(corpus)
    rows = corpus == "values of a page" ? ROWS.keys : ROWS.keys - ["gsub"]
    compare_kernels? ? rows : rows - ["cgiesc, avx2 kernel"]
  end

  # The strings of one pass.
  def self.inputs(corpus)
    spec = CORPORA.fetch(corpus)
    return [Corpus.slice(Corpus.text(spec[0], spec[1] + 64), 0, spec[1])] if spec.is_a?(Array)

    spec == :values ? Pages.values : Array(Pages.public_send(spec))
  end

  # Roughly a second of work per cell, whatever the size.
  def self.passes(bytes) = bytes >= 1024 * 1024 ? 40 : 2000 * 64 * 1024 / [bytes, 64 * 1024].max

  module_function

  def minor_faults = File.read("/proc/self/stat").split(") ").last.split[7].to_i

  def clock = Process.clock_gettime(Process::CLOCK_MONOTONIC)

  # One cell, in this (fresh) process.
  def cell(corpus, row)
    require "cgiesc"
    require "classic_escape"
    inputs = inputs(corpus)
    results = inputs.map { |s| CGI.escapeHTML(s) }
    pairs = inputs.zip(results)
    call = ROWS.fetch(row)
    passes = passes(inputs.sum(&:bytesize))
    (passes / 2).times { pairs.each { |s, r| call.(s, r) } }
    faults = minor_faults
    gcs = GC.count
    t = clock
    passes.times { pairs.each { |s, r| call.(s, r) } }
    elapsed = clock - t
    calls = passes * inputs.size
    { us: elapsed / calls * 1e6, faults: (minor_faults - faults).fdiv(calls), gcs: (GC.count - gcs) * 1000.0 / calls,
      expansion: results.sum(&:bytesize).fdiv(inputs.sum(&:bytesize)), strings: inputs.size }
  end

  def spawn_cell(corpus, row)
    # Whatever the caller's environment says, the allocator keeps its defaults.
    env = { "GLIBC_TUNABLES" => nil, "MALLOC_ARENA_MAX" => nil, "MALLOC_TOP_PAD_" => nil,
            "MALLOC_TRIM_THRESHOLD_" => nil, "MALLOC_MMAP_THRESHOLD_" => nil,
            # cgiesc's own row runs the kernel the caller asked for, as the
            # table's heading says.
            "CGIESC_KERNEL" => row == "cgiesc, avx2 kernel" ? BASE_KERNEL : ENV["CGIESC_KERNEL"] }
    # BENCH_EXT_DIR: time another build of the extension (put ahead of lib/).
    dirs = [ENV["BENCH_EXT_DIR"], File.join(ROOT, "lib"), ENV.fetch("BENCH_CLASSIC_DIR", File.join(ROOT, "tmp", "classic-lib"))]
           .compact.flat_map { |d| ["-I", d] }
    out = IO.popen(env, [RbConfig.ruby, *dirs, __FILE__, corpus, row], &:read)
    raise "cell #{corpus} / #{row} failed" unless $?.success?

    JSON.parse(out, symbolize_names: true)
  end

  def median(xs) = xs.sort[xs.size / 2]

  def run
    puts "As applications run it: default allocator, no tunables, a fresh process per cell, " \
         "medians of #{RUNS} runs; cgiesc runs the #{kernel} kernel."
    puts
    puts "| input (escaped/source) | row | µs/call | faults/call | GCs/1000 calls | time vs result copy | " \
         "faults vs result copy |"
    puts "|---|---|---:|---:|---:|---:|---:|"
    CORPORA.each_key do |corpus|
      next unless ONLY.nil? || ONLY.include?(corpus)

      rows = rows(corpus)
      runs = Array.new(RUNS) { rows.to_h { |row| [row, spawn_cell(corpus, row)] } }
      cells = rows.to_h do |row|
        [row, %i[us faults gcs].to_h { |k| [k, median(runs.map { |r| r[row][k] })] }]
      end
      # Each ratio is the median of the runs' own ratios, not of the medians.
      ref = "result-length copy"
      label = runs[0]["cgiesc"][:strings] > 1 ? "#{corpus}, #{runs[0]["cgiesc"][:strings]} calls" : corpus
      rows.each do |row|
        c = cells[row]
        time = median(runs.map { |r| r[row][:us] / r[ref][:us] })
        faults = median(runs.map { |r| r[row][:faults] - r[ref][:faults] })
        printf("| %s (%.2f) | %s | %.2f | %.2f | %.1f | %.2f | %+.2f |\n", label, runs[0][row][:expansion], row,
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
