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

  def with_gc(stress:, auto_compact:)
    old_compact = GC.auto_compact
    GC.auto_compact = auto_compact
    GC.stress = stress
    yield
  ensure
    GC.stress = false
    GC.auto_compact = old_compact
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
    stress_rounds(auto_compact: false)
  end

  def test_under_gc_stress_with_auto_compaction
    stress_rounds(auto_compact: true)
  end

  def stress_rounds(auto_compact:)
    strs = inputs
    expected = strs.map { |s| Reference.escape(s) }
    ROUNDS.times do
      with_gc(stress: true, auto_compact: auto_compact) { check_all(strs, expected) }
      GC.verify_compaction_references(toward: :empty, double_heap: true) if auto_compact
    end
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

  def test_delegation_under_gc_stress
    host = Class.new do
      include CGI::Util
      def escapeHTML(str) = str.encode("UTF-8").then { |u| CGI.escapeHTML(u) }.encode(str.encoding)
    end
    host.prepend(CGI::Escape)
    obj = host.new
    utf16 = %(<a href="x">Tom & Jerry's</a>).encode("UTF-16LE")
    expected = Reference.escape(utf16.encode("UTF-8")).encode("UTF-16LE")
    with_gc(stress: true, auto_compact: true) do
      5.times { assert_equal expected, obj.escapeHTML(utf16) }
    end
    @calls = 5
  end
end
