# frozen_string_literal: true

# Times CGI.escapeHTML against the plain-Ruby ways in the same process:
# gsub (what a Ruby program would write), String#dup, a copy floor
# (s + "", which allocates and copies every byte), and the classic native
# design (bench/classic). Generated inputs first, then real pages: whole,
# and as a template escapes their values, one call each. Run it through
# `rake bench`, which sets up the allocator; see the README.

require "cgiesc"
require "classic_escape"
require_relative "corpus"
require_relative "pages"

module Bench
  GSUB_TABLE = { "&" => "&amp;", "<" => "&lt;", ">" => "&gt;", '"' => "&quot;", "'" => "&#39;" }.freeze
  GSUB_RE = /['&"<>]/.freeze
  PAIRS = Integer(ENV.fetch("BENCH_PAIRS", 7))
  BATCH_SECONDS = Float(ENV.fetch("BENCH_BATCH_SECONDS", 0.02))
  UNROLL = 4
  # BENCH_ONLY="markup 64 KiB,clean 16 B" times just those inputs.
  ONLY = ENV["BENCH_ONLY"]&.split(",")&.map(&:strip)

  METHODS = {
    "cgiesc" => "CGI.escapeHTML(s)",
    "classic" => "ClassicEscape.escape_html(s)",
    "gsub" => "s.gsub(GSUB_RE, GSUB_TABLE)",
    "dup" => "s.dup",
    "copy" => "s + ''"
  }.freeze

  module_function

  # A batch runner per method, unrolled so that loop overhead stays small
  # and equal for every method.
  def runner(expr)
    body = ([expr] * UNROLL).join("; ")
    eval(<<~RUBY, binding, __FILE__, __LINE__ + 1) # rubocop:disable Security/Eval
      lambda do |strs, iters|
        mask = strs.size - 1
        i = 0
        while i < iters
          s = strs[i & mask]
          #{body}
          i += 1
        end
      end
    RUBY
  end

  # A pass over every string, for workloads that are a list: all pages, or
  # every value of a page.
  def pass_runner(expr)
    eval(<<~RUBY, binding, __FILE__, __LINE__ + 1) # rubocop:disable Security/Eval
      lambda do |strs, iters|
        i = 0
        while i < iters
          strs.each { |s| #{expr} }
          i += 1
        end
      end
    RUBY
  end

  RUNNERS = METHODS.transform_values { |expr| runner(expr) }
  PASS_RUNNERS = METHODS.transform_values { |expr| pass_runner(expr) }
  @pass = false

  def clock = Process.clock_gettime(Process::CLOCK_MONOTONIC)

  # Seconds per call of one batch (in pass mode: per pass over strs).
  def batch(name, strs, iters)
    GC.start
    t = clock
    (@pass ? PASS_RUNNERS : RUNNERS).fetch(name).call(strs, iters)
    (clock - t) / (iters * (@pass ? 1 : UNROLL))
  end

  # Iterations that make a batch last about BATCH_SECONDS.
  def calibrate(name, strs)
    iters = 1
    loop do
      t = batch(name, strs, iters) * iters * (@pass ? 1 : UNROLL)
      return iters if t >= BATCH_SECONDS || iters >= 1 << 24
      iters = t <= 0 ? iters * 16 : [(iters * BATCH_SECONDS / t * 1.2).ceil, iters * 16].min
    end
  end

  def median(xs)
    s = xs.sort
    s.size.odd? ? s[s.size / 2] : (s[s.size / 2 - 1] + s[s.size / 2]) / 2.0
  end

  def check!(strs)
    strs.each do |s|
      want = s.gsub(GSUB_RE, GSUB_TABLE)
      next if CGI.escapeHTML(s) == want && ClassicEscape.escape_html(s) == want

      abort "cgiesc, the classic design and gsub disagree on #{s[0, 80].inspect}"
    end
  end

  # Times cgiesc against each baseline in alternation, A B A B ..., and
  # keeps for each baseline the median of the pairs' ratios.
  def measure(strs, bases = METHODS.keys - ["cgiesc"])
    check!(strs)
    iters = { "cgiesc" => calibrate("cgiesc", strs) }
    times = Hash.new { |h, k| h[k] = [] }
    ratio = {}
    bases.each do |base|
      iters[base] = calibrate(base, strs)
      ratios = Array.new(PAIRS) do
        ours = batch("cgiesc", strs, iters["cgiesc"])
        theirs = batch(base, strs, iters[base])
        times["cgiesc"] << ours
        times[base] << theirs
        theirs / ours
      end
      ratio[base] = median(ratios)
    end
    { time: times.transform_values { |ts| median(ts) }, ratio: ratio }
  end

  def machine
    cpu = File.foreach("/proc/cpuinfo").find { |l| l.start_with?("model name") }.to_s.split(":", 2).last.to_s.strip
    flags = File.foreach("/proc/cpuinfo").find { |l| l.start_with?("flags") }.to_s
    "#{cpu} (#{flags.include?(" avx2") ? "AVX2" : "no AVX2"}), #{Etc.nprocessors} cores, ruby #{RUBY_VERSION}"
  end

  # Touches a large block once so that later allocations reuse resident
  # pages; the allocator is told to keep them (rake bench sets it up).
  def pretouch(bytes = 512 * 1024 * 1024)
    block = "x" * bytes
    block.clear
    GC.start
  end

  def run
    require "etc"
    pretouch
    puts "cgiesc #{CGIEsc::VERSION} on #{machine}"
    puts "Speed ratios are medians of #{PAIRS} paired batches (cgiesc, baseline); higher is faster for cgiesc."
    puts
    puts "| input | method | MB/s | ns/call | speed vs copy | speed vs gsub | speed vs classic | time vs dup |"
    puts "|---|---|---:|---:|---:|---:|---:|---:|"
    Corpus::SIZES.each do |label, size|
      Corpus::KINDS.each do |kind|
        next unless ONLY.nil? || ONLY.include?("#{kind} #{label}")

        strs = Corpus.inputs(kind, size)
        r = measure(strs)
        share = (Corpus.special_share(strs) * 100).round(1)
        t = r[:time]
        METHODS.each_key do |name|
          # A long string's dup shares its bytes: it has no throughput.
          mbs = name == "dup" && size >= 4096 ? "(shares)" : format("%.0f", size / t[name] / 1e6)
          printf("| %s %s (%.1f%%) | %s | %s | %.0f | %.2f | %.1f | %.2f | %.2f |\n",
                 kind, label, share, name, mbs, t[name] * 1e9, speed(r, name, "copy"), speed(r, name, "gsub"),
                 speed(r, name, "classic"), 1 / speed(r, name, "dup"))
        end
        $stdout.flush
      end
    end
    pages_table
  end

  # name's speed against base: for cgiesc the median of paired ratios, for
  # the others a ratio of median times.
  def speed(r, name, base)
    return 1.0 if name == base
    return r[:ratio][base] if name == "cgiesc"

    r[:time][base] / r[:time][name]
  end

  def pages_table
    values = Pages.values
    workloads = {
      "largest page, #{Pages.largest.bytesize / 1024} KiB" => [Pages.largest],
      "median page, #{Pages.median.bytesize / 1024} KiB" => [Pages.median],
      "all #{Pages.all.size} pages, #{format("%.1f", Pages.all.sum(&:bytesize) / 1024.0 / 1024)} MiB" => Pages.all,
      "#{values.size} values of #{Pages::VALUES_PAGE}, median #{Pages.median_length(values)} B" => values
    }
    puts
    puts "Real pages (Debian's git-doc, #{Pages::DIR}): a call per page, or a call per value as a template " \
         "makes them; time per pass over the workload and per page or value."
    puts
    puts "| workload (special bytes) | method | µs/pass | ns per page or value | speed vs copy | speed vs gsub | " \
         "speed vs classic |"
    puts "|---|---|---:|---:|---:|---:|---:|"
    @pass = true
    workloads.each do |label, strs|
      next unless ONLY.nil? || ONLY.include?(label.split(",").first)

      r = measure(strs, METHODS.keys - %w[cgiesc dup])
      t = r[:time]
      (METHODS.keys - ["dup"]).each do |name|
        printf("| %s (%.1f%%) | %s | %.1f | %.0f | %.2f | %.1f | %.2f |\n", label, Pages.special_share(strs) * 100,
               name, t[name] * 1e6, t[name] / strs.size * 1e9, speed(r, name, "copy"), speed(r, name, "gsub"),
               speed(r, name, "classic"))
      end
      $stdout.flush
    end
  ensure
    @pass = false
  end
end

Bench.run if $PROGRAM_NAME == __FILE__
