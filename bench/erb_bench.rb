# frozen_string_literal: true

# ERB's escape as templates run it: cgiesc's (require "cgiesc/erb") against
# the classic design given the same behaviour (bench/classic: a byte at a
# time, the argument itself when nothing is special), on the values of a
# real page one call each, whole real pages, and the generated corpus;
# beside the time, the objects allocated and the page faults per call. The
# two take turns in batches of about 20 ms; a ratio is the median of the
# pairs' ratios. `rake bench` runs it twice: as applications run it (the
# allocator's defaults, nothing pre-faulted), and pre-faulted (--prefaulted,
# with the tunables of the first table), where the code shows.
#
#   ruby -Ilib -Itmp/classic-lib bench/erb_bench.rb [--prefaulted]

require "cgiesc/erb"
require "classic_escape"
require_relative "corpus"
require_relative "pages"

module ERBBench
  PAIRS = Integer(ENV.fetch("BENCH_PAIRS", 7))
  BATCH_SECONDS = 0.02
  ONLY = ENV["BENCH_ONLY"]&.split(",")&.map(&:strip)
  CALLS = {
    "cgiesc" => ->(strs) { strs.each { |s| ERB::Escape.html_escape(s) } },
    "classic" => ->(strs) { strs.each { |s| ClassicEscape.erb_escape_html(s) } }
  }.freeze

  module_function

  def clock = Process.clock_gettime(Process::CLOCK_MONOTONIC)

  def minor_faults = File.read("/proc/self/stat").split(") ").last.split[7].to_i

  # Per call of one batch of passes over strs: seconds, objects, faults.
  def batch(name, strs, passes)
    call = CALLS.fetch(name)
    # Reading the fault count allocates: outside the object count.
    faults = minor_faults
    objects = GC.stat(:total_allocated_objects)
    t = clock
    passes.times { call.(strs) }
    elapsed = clock - t
    objects = GC.stat(:total_allocated_objects) - objects
    calls = (passes * strs.size).to_f
    [elapsed / calls, objects / calls, (minor_faults - faults) / calls]
  end

  def passes_for(strs)
    passes = 1
    passes *= 2 while batch("cgiesc", strs, passes)[0] * passes * strs.size < BATCH_SECONDS && passes < 1 << 20
    passes
  end

  def median(xs) = xs.sort[xs.size / 2]

  def check!(strs)
    strs.each do |s|
      next if ERB::Escape.html_escape(s) == ClassicEscape.erb_escape_html(s)

      abort "cgiesc and the classic design disagree on #{s[0, 80].inspect}"
    end
  end

  def measure(label, strs)
    return unless ONLY.nil? || ONLY.any? { |o| label.start_with?(o) }

    check!(strs)
    passes = passes_for(strs)
    runs = Array.new(PAIRS) { CALLS.keys.to_h { |name| [name, batch(name, strs, passes)] } }
    ratio = median(runs.map { |r| r["classic"][0] / r["cgiesc"][0] })
    share = Pages.special_share(strs) * 100
    CALLS.each_key do |name|
      ns, objects, faults = (0..2).map { |i| median(runs.map { |r| r[name][i] }) }
      printf("| %s (%.1f%%) | %s | %.0f | %.2f | %.2f | %.2f |\n", label, share, name, ns * 1e9, objects, faults,
             name == "cgiesc" ? ratio : 1.0)
    end
    $stdout.flush
  end

  def run(prefaulted)
    if prefaulted
      block = "x" * (512 * 1024 * 1024) # resident pages for later allocations to reuse
      block.clear
      GC.start
    end
    puts "ERB's escape as templates run it, #{prefaulted ? "pre-faulted" : "default allocator"}, #{PAIRS} paired " \
         "batches; \"speed vs classic\" is the median of the pairs' ratios."
    puts
    puts "| input (special bytes) | method | ns/call | objects/call | faults/call | speed vs classic |"
    puts "|---|---|---:|---:|---:|---:|"
    values = Pages.values
    measure("#{values.size} values of #{Pages::VALUES_PAGE}, a call each", values)
    measure("largest page", [Pages.largest])
    measure("median page", [Pages.median])
    measure("all #{Pages.all.size} pages, a call each", Pages.all)
    Corpus::SIZES.each do |size_label, size|
      Corpus::KINDS.each { |kind| measure("#{kind} #{size_label}", Corpus.inputs(kind, size)) }
    end
  end
end

ERBBench.run(ARGV.include?("--prefaulted")) if $PROGRAM_NAME == __FILE__
