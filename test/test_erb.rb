# frozen_string_literal: true

require_relative "test_helper"
require "cgiesc/erb"

# ERB's behaviour on cgiesc's paths: the argument itself when nothing needs
# escaping, to_s for anything but a String, and CGI.escapeHTML for
# encodings that are not ASCII-compatible.
class TestERB < Minitest::Test
  def erb(value) = ERB::Escape.html_escape(value)

  # Short strings take the stack path, long ones the counted one.
  CLEAN = ["", "plain text", "caf\u00e9 \u65e5\u672c " * 40, "x" * 70_000].freeze

  def test_a_clean_string_is_returned_itself
    sub = Class.new(String)
    CLEAN.each do |text|
      ["UTF-8", "US-ASCII", "ASCII-8BIT", "ISO-8859-1", "Shift_JIS", "EUC-JP"].each do |enc|
        src = text.dup.force_encoding(enc)
        [src, src.dup.freeze, sub.new(src)].each { |s| assert_same s, erb(s), "#{enc} #{s.class} #{s.bytesize}" }
      end
    end
  end

  def test_escaping_gives_a_new_string_in_the_source_encoding
    includer = Class.new { include ERB::Util }.new
    ["a<b", %(x"y'z&) * 30, "<p>" + ("caf\u00e9 & " * 10_000)].each do |text|
      src = Class.new(String).new(text.encode("UTF-8")).freeze
      [erb(src), ERB::Util.html_escape(src), ERB::Util.h(src), includer.send(:h, src)].each do |got|
        assert_equal Reference.escape(text), got
        assert_instance_of String, got
        assert_equal Encoding::UTF_8, got.encoding
        refute got.frozen?
      end
    end
    latin = "\xE9<".b.force_encoding("ISO-8859-1")
    assert_equal Encoding::ISO_8859_1, erb(latin).encoding
  end

  def test_other_values_go_through_to_s_first
    obj = Object.new
    def obj.to_s = "<obj>"
    assert_equal "", erb(nil)
    assert_equal "42", erb(42)
    assert_equal "a&lt;b", erb(:"a<b")
    assert_equal "&lt;obj&gt;", erb(obj)
    # A String's to_s is never called, not even a subclass's own.
    odd = Class.new(String) { def to_s = "<changed>" }.new("same")
    assert_same odd, erb(odd)
    bad = Object.new
    def bad.to_s = 42
    assert_raises(TypeError) { erb(bad) }
    raising = Object.new
    def raising.to_s = raise(IOError, "from to_s")
    assert_raises(IOError) { erb(raising) }
  end

  # to_s alone, as ERB converts: an object that also converts implicitly
  # is escaped as its to_s says, and its to_str is never called.
  def test_to_s_alone_never_to_str
    both = Object.new
    def both.to_s = "<to_s>"
    def both.to_str = raise("to_str called")
    assert_equal "&lt;to_s&gt;", erb(both)
    assert_equal "&lt;to_s&gt;", ERB::Util.h(both)
  end

  def test_other_encodings_go_to_cgi_escape_html
    seen = []
    CGI.define_singleton_method(:escapeHTML) { |s| seen << s and :from_cgi }
    utf16 = "<a>".encode("UTF-16LE")
    assert_equal :from_cgi, erb(utf16)
    converted = Object.new
    converted.define_singleton_method(:to_s) { utf16 }
    assert_equal :from_cgi, erb(converted)
    assert_equal [utf16, utf16], seen
    assert seen.all? { |s| s.equal?(utf16) }
  ensure
    CGI.singleton_class.remove_method(:escapeHTML)
  end

  def test_a_clean_string_allocates_nothing
    CLEAN.each do |src|
      # The second round: the first warms the loop itself.
      allocated = Array.new(2) do
        before = GC.stat(:total_allocated_objects)
        100.times { erb(src) }
        GC.stat(:total_allocated_objects) - before
      end
      assert_equal 0, allocated.last, "#{src.bytesize} bytes"
    end
  end
end
