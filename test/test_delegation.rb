# frozen_string_literal: true

require_relative "test_helper"

# The fallback that CGI::Util provides for strings that cannot be scanned
# byte by byte. It records what it was given and returns a marker object.
module CGI::Util
  def escapeHTML(str)
    Thread.current[:cgiesc_fallback_arg] = str
    Thread.current[:cgiesc_fallback_result] = Object.new
  end
end

class TestDelegation < Minitest::Test
  SCANNED = %w[UTF-8 US-ASCII ASCII-8BIT ISO-8859-1 Shift_JIS EUC-JP Windows-31J].freeze
  DELEGATED = %w[UTF-16LE UTF-16BE UTF-32LE UTF-32BE UTF-16 UTF-32 UTF-7 ISO-2022-JP].freeze

  def setup
    @host = Class.new { include CGI::Util }.new
    Thread.current[:cgiesc_fallback_arg] = nil
  end

  def fallback_arg = Thread.current[:cgiesc_fallback_arg]
  def fallback_result = Thread.current[:cgiesc_fallback_result]

  def test_ascii_compatible_encodings_are_scanned_natively
    SCANNED.each do |name|
      src = "a<b".dup.force_encoding(name)
      got = @host.escapeHTML(src)
      assert_equal "a&lt;b".b, got.b, name
      assert_equal Encoding.find(name), got.encoding
      assert_nil fallback_arg, "#{name} must not be delegated"
    end
  end

  def test_other_encodings_are_delegated_unscanned
    DELEGATED.each do |name|
      # Raw bytes that hold every special byte; a byte-wise scan would rewrite them.
      src = %(<&"'>).b.force_encoding(name)
      got = @host.escapeHTML(src)
      assert_same fallback_result, got, name
      assert_same src, fallback_arg, name
      assert_equal %(<&"'>).b, src.b
    end
  end

  def test_delegated_argument_arrives_converted
    utf16 = "<".encode("UTF-16LE")
    convertible = Object.new
    convertible.define_singleton_method(:to_str) { utf16 }
    got = @host.escapeHTML(convertible)
    assert_same utf16, fallback_arg
    assert_same fallback_result, got
  end

  def test_no_next_definition_raises_no_method_error
    only_escape = Object.new.extend(CGI::Escape)
    assert_equal "a&amp;b", only_escape.escapeHTML("a&b")
    e = assert_raises(NoMethodError) { only_escape.escapeHTML("<".encode("UTF-16BE")) }
    assert_match(/super/, e.message)
    # CGI itself extends CGI::Escape only.
    assert_raises(NoMethodError) { CGI.escapeHTML("<".encode("UTF-32LE")) }
  end

  def test_errors_of_the_next_definition_reach_the_caller
    klass = Class.new do
      include CGI::Util
      def escapeHTML(_str) = raise(ArgumentError, "fallback failed")
    end
    # The class's own method comes first; prepend to put the native one in front.
    klass.prepend(CGI::Escape)
    e = assert_raises(ArgumentError) { klass.new.escapeHTML("<".encode("UTF-16LE")) }
    assert_equal "fallback failed", e.message
    assert_equal "&lt;", klass.new.escapeHTML("<")
  end

  def test_documented_fallback_recipe
    out, err, status = run_ruby(<<~'RUBY')
      require "cgiesc"
      module CGI::Util
        def escapeHTML(str)
          utf8 = str.encode(Encoding::UTF_8)
          CGI::Escape.instance_method(:escapeHTML).bind_call(self, utf8).encode(str.encoding)
        end
      end
      CGI.extend(CGI::Util)
      r = CGI.escapeHTML("a<b".encode("UTF-16LE"))
      p [r.encoding, r.encode("UTF-8"), CGI.escapeHTML("x>")]
    RUBY
    assert status.success?, err
    assert_equal %([#<Encoding:UTF-16LE>, "a&lt;b", "x&gt;"]\n), out
  end

  # The README's fallback must do what the README says for every encoding
  # that is not ASCII-compatible: escape all of them but the two without a
  # converter, which raise, as do invalid bytes in a UTF-16 string.
  def test_readme_fallback_example
    readme = File.read(File.join(ROOT, "README.md"))
    example = readme[/```ruby\n(require "cgiesc"\n\nmodule CGI::Util.*?)```/m, 1]
    refute_nil example, "README's fallback example not found"
    out, err, status = run_ruby(<<~RUBY)
      #{example}
      Encoding.list.reject(&:ascii_compatible?).each do |enc|
        src = %(<p class="x">Tom & Jerry's</p>).encode(enc)
        got = CGI.escapeHTML(src)
        puts [enc, got.encoding, got.encode("UTF-8")].join(" ")
      rescue Encoding::ConverterNotFoundError
        CGI.escapeHTML("<".dup.force_encoding(enc)) rescue puts("\#{enc} refused: \#{$!.class}")
      end
      begin
        CGI.escapeHTML("\\xD8\\x00<\\x00".b.force_encoding("UTF-16BE"))
      rescue EncodingError => e
        puts "invalid UTF-16BE refused: \#{e.class}"
      end
    RUBY
    assert status.success?, err
    lines = out.lines.map(&:chomp)
    assert_equal "invalid UTF-16BE refused: Encoding::InvalidByteSequenceError", lines.pop
    refused, escaped = lines.partition { |l| l.include?("refused") }
    assert_equal ["ISO-2022-JP-2 refused: Encoding::ConverterNotFoundError",
                  "UTF-7 refused: Encoding::ConverterNotFoundError"], refused.sort
    expected = "&lt;p class=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/p&gt;"
    escaped.each { |line| assert_match(/\A(\S+) \1 #{Regexp.escape(expected)}\z/, line) }
    names = escaped.map { |l| l.split.first }
    %w[UTF-16LE UTF-16BE UTF-32LE UTF-32BE UTF-16 UTF-32 IBM037 ISO-2022-JP CP50220 CP50221
       ISO-2022-JP-KDDI].each { |name| assert_includes names, name }
  end
end
