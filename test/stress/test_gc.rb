# frozen_string_literal: true

require_relative "../test_helper"

# Escapes while the collector runs at every allocation and moves objects:
# a byte pointer kept across an allocation, or a string not kept alive,
# shows up here as a wrong result or a crash.
class TestGCStress < Minitest::Test
  ROUNDS = Integer(ENV.fetch("CGIESC_GC_ROUNDS", 3))

  def inputs
    rng = Random.new(11)
    pieces = [*Reference::REFERENCES.keys, "a", "bc", "\u00e9", "\u65e5", "\0"]
    base = Array.new(20_000) { pieces[rng.rand(pieces.size)] }.join
    list = [0, 1, 5, 16, 23, 24, 63, 64, 200, 256, 257, 1000, 4096, 20_000].map { |n| base.byteslice(0, n).scrub }
    list += [3, 17, 999].map { |off| base.byteslice(off..).scrub } # shared tails of a larger buffer
    list << ("clean text " * 500) << ("<" * 3000)
    list += list.map { |s| s.encode("ISO-8859-1", undef: :replace) }
    list
  end

  def teardown
    REPORT << "gc: #{name}: #{@calls} calls checked" if @calls
  end

  def under_gc_stress
    GC.stress = true
    yield
  ensure
    GC.stress = false
  end

  def check_all(strs, expected)
    @calls = (@calls || 0) + strs.size
    strs.each_with_index do |s, i|
      got = CGI.escapeHTML(s)
      assert_equal expected[i], got
      assert_equal s.encoding, got.encoding
    end
  end

  def test_under_gc_stress
    strs = inputs
    expected = strs.map { |s| Reference.escape(s) }
    ROUNDS.times do
      under_gc_stress { check_all(strs, expected) }
    end
  end

  # Ruby 3.1 itself crashes under GC.stress with auto-compaction once a
  # method has been reached through a prepended module and `super` (as the
  # delegation tests here do), with or without this extension loaded. So
  # this combination runs in a fresh process that has done no such call.
  def test_under_gc_stress_with_auto_compaction
    code = <<~RUBY
      require "cgiesc"
      require "support/reference"
      strs = Marshal.load(STDIN.binmode.read)
      expected = strs.map { |s| Reference.escape(s) }
      calls = 0
      #{ROUNDS}.times do
        GC.auto_compact = true
        GC.stress = true
        strs.each_with_index do |s, i|
          got = CGI.escapeHTML(s)
          abort "wrong result for input \#{i}" unless got == expected[i] && got.encoding == s.encoding
          calls += 1
        end
        GC.stress = false
        GC.auto_compact = false
        GC.verify_compaction_references(toward: :empty, double_heap: true)
      end
      puts calls
    RUBY
    out, err, status = run_ruby(code, stdin_data: Marshal.dump(inputs),
                                      load_path: [EXT_DIR, LIB, File.join(ROOT, "test")].uniq)
    assert status.success?, err
    @calls = Integer(out)
    assert_equal ROUNDS * inputs.size, @calls
  end

  def test_compaction_between_and_during_calls
    strs = inputs
    expected = strs.map { |s| Reference.escape(s) }
    # The conversion runs Ruby code inside the call: compact there.
    compacting = strs.map do |s|
      obj = Object.new
      obj.define_singleton_method(:to_str) do
        GC.compact
        s
      end
      obj
    end
    ROUNDS.times do
      compacting.each_with_index { |obj, i| assert_equal expected[i], CGI.escapeHTML(obj) }
      @calls = (@calls || 0) + compacting.size
      GC.verify_compaction_references(toward: :empty, double_heap: true)
      check_all(strs, expected)
      GC.compact
    end
  end

  # ERB's escape converts with to_s, Ruby code inside the call: compact
  # there; and collect at every allocation.
  def test_erb_escape_under_gc_stress_and_compaction
    require "cgiesc/erb"
    strs = inputs
    expected = strs.map { |s| Reference.escape(s) }
    converting = strs.map do |s|
      obj = Object.new
      obj.define_singleton_method(:to_s) { GC.compact && s }
      obj
    end
    ROUNDS.times do
      under_gc_stress { strs.each_with_index { |s, i| assert_equal expected[i], ERB::Escape.html_escape(s) } }
      converting.each_with_index { |obj, i| assert_equal expected[i], ERB::Escape.html_escape(obj) }
      GC.verify_compaction_references(toward: :empty, double_heap: true)
    end
    @calls = ROUNDS * 2 * strs.size
  end

  def test_delegation_under_gc_stress
    host = Class.new do
      include CGI::Util
      def escapeHTML(str) = str.encode("UTF-8").then { |u| CGI.escapeHTML(u) }.encode(str.encoding)
    end
    host.prepend(CGI::Escape)
    obj = host.new
    utf16 = %(<a href="x">Tom & Jerry's</a>).encode("UTF-16LE")
    expected = Reference.escape(utf16.encode("UTF-8")).encode("UTF-16LE")
    # Collections at every allocation; compaction between the calls only
    # (see test_under_gc_stress_with_auto_compaction for why not during).
    5.times do
      under_gc_stress { assert_equal expected, obj.escapeHTML(utf16) }
      GC.compact
    end
    @calls = 5
  end
end
