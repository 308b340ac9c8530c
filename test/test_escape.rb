# frozen_string_literal: true

require_relative "test_helper"
require "objspace"

class TestEscape < Minitest::Test
  REFERENCES = Reference::REFERENCES

  def reference(str) = Reference.escape(str)

  def test_the_five_references
    REFERENCES.each { |char, ref| assert_equal ref, escape(char) }
    all = escape(%("&'<>))
    assert_equal "&quot;&amp;&#39;&lt;&gt;", all
    assert_equal 24, all.bytesize
  end

  def test_positions_and_neighbours
    assert_equal "&lt;abc", escape("<abc")
    assert_equal "abc&gt;", escape("abc>")
    assert_equal "a&lt;&lt;&gt;&gt;b", escape("a<<>>b")
    assert_equal "&amp;&amp;&amp;", escape("&&&")
    assert_equal "x&quot;y&#39;z", escape(%(x"y'z))
  end

  def test_existing_references_are_escaped_again
    once = escape("a & b")
    assert_equal "a &amp; b", once
    assert_equal "a &amp;amp; b", escape(once)
    assert_equal "&amp;lt;", escape("&lt;")
  end

  def test_other_bytes_pass_through
    all_others = (0..255).map(&:chr).join.b.delete(%("&'<>))
    assert_equal all_others, escape(all_others)
    assert_equal "\0&lt;\0", escape("\0<\0")
    assert_equal "caf\u00e9 &lt;\u{1F600}&gt; \u65e5\u672c", escape("caf\u00e9 <\u{1F600}> \u65e5\u672c")
  end

  def test_result_is_always_a_new_string
    ["", "plain", "a<b"].each do |src|
      a = escape(src)
      b = escape(src)
      refute_same src, a
      refute_same a, b
      refute a.frozen?
    end
    empty = "".encode("ISO-8859-1")
    result = escape(empty)
    assert_equal "", result
    assert_equal Encoding::ISO_8859_1, result.encoding
  end

  def test_encoding_is_carried_over
    %w[UTF-8 US-ASCII ASCII-8BIT ISO-8859-1 Windows-1252 Shift_JIS EUC-JP GB18030].each do |name|
      enc = Encoding.find(name)
      ["", "plain", "a<b>c", "\xA4\xA2<".b].each do |text|
        src = text.dup.force_encoding(enc)
        got = escape(src)
        assert_equal enc, got.encoding, "#{name} #{text.inspect}"
        assert_equal reference(src).b, got.b
      end
    end
  end

  def test_multibyte_encodings_scan_bytes_whole
    sjis = "\u8868<\u30BD>".encode("Shift_JIS") # 0x95 0x5C: a trail byte that is "\\"
    assert_equal "\u8868&lt;\u30BD&gt;".encode("Shift_JIS"), escape(sjis)
    eucjp = "\u65e5<\u672c".encode("EUC-JP")
    assert_equal "\u65e5&lt;\u672c".encode("EUC-JP"), escape(eucjp)
  end

  def test_broken_encoding_is_not_an_error
    broken = "\xff<\xc3".dup.force_encoding(Encoding::UTF_8)
    got = escape(broken)
    assert_equal "\xff&lt;\xc3".b, got.b
    assert_equal Encoding::UTF_8, got.encoding
    refute got.valid_encoding?
  end

  def test_implicit_conversion
    convertible = Object.new
    def convertible.to_str = "<tag>"
    assert_equal "&lt;tag&gt;", escape(convertible)

    only_to_s = Object.new
    def only_to_s.to_s = "<tag>"
    [nil, 42, :sym, only_to_s, ["<"]].each do |bad|
      assert_raises(TypeError, bad.inspect) { escape(bad) }
    end

    wrong = Object.new
    def wrong.to_str = 42
    assert_raises(TypeError) { escape(wrong) }

    failing = Object.new
    def failing.to_str = raise(IOError, "from to_str")
    assert_equal "from to_str", assert_raises(IOError) { escape(failing) }.message
  end

  def test_argument_is_never_changed
    ["a<b", "plain", "", "\xff&".b].each do |text|
      [text.dup, text.dup.freeze].each do |src|
        before = [src.b, src.encoding, src.frozen?]
        escape(src)
        assert_equal before, [src.b, src.encoding, src.frozen?]
      end
    end
    sym_str = :"a<b".to_s
    escape(sym_str)
    assert_equal "a<b", sym_str
  end

  def test_string_subclass
    sub = Class.new(String)
    assert_equal "&lt;", escape(sub.new("<"))
    src = sub.new("clean")
    got = escape(src)
    assert_equal "clean", got
    refute_same src, got
  end

  def test_randomized_against_reference
    rng = Random.new(20_261_208)
    alphabet = [*"a".."e", " ", *REFERENCES.keys, "\0", "\xff", "\u00e9", "\u65e5"].map(&:b)
    cases = 3000
    cases.times do |i|
      len = i < cases * 2 / 3 ? rng.rand(0..80) : rng.rand(0..5000)
      src = if i.even?
              Array.new(len) { alphabet[rng.rand(alphabet.size)] }.join.b
            else
              rng.bytes(len)
            end
      src.force_encoding(i % 3 == 0 ? Encoding::UTF_8 : Encoding::BINARY)
      assert_equal reference(src).b, escape(src).b, "case #{i}: #{src.inspect[0, 200]}"
    end
  end

  def test_slices_of_a_larger_buffer
    rng = Random.new(42)
    big = Array.new(70_000) { rng.rand < 0.1 ? REFERENCES.keys.sample(random: rng) : (97 + rng.rand(26)).chr }.join
    [1, 3, 7, 31, 33, 63, 4095, 65_537].each do |off|
      [big.byteslice(off..), big.byteslice(off, 100), big.byteslice(off, 1001)].each do |src|
        assert_equal reference(src), escape(src), "offset #{off}, length #{src.bytesize}"
      end
    end
    (1..64).each do |tail|
      src = big.byteslice(-tail..)
      assert_equal reference(src), escape(src), "tail #{tail}"
    end
  end

  def test_lengths_around_the_stack_buffer_limit
    (250..262).each do |len|
      [0, len / 2, len - 1].each do |pos|
        src = "x" * len
        src[pos] = '"'
        assert_equal reference(src), escape(src), "length #{len}, quote at #{pos}"
      end
      all = "<" * len
      assert_equal "&lt;" * len, escape(all)
    end
  end

  # The short path's buffer is sized for the longest reference at every
  # byte: quotes fill it to the last byte of its write slack.
  def test_short_inputs_of_quotes_fill_the_stack_buffer
    (1..256).each do |len|
      assert_equal "&quot;" * len, escape('"' * len), "length #{len}"
      mixed = ('"' * (len - 1)) + "a"
      assert_equal reference(mixed), escape(mixed), "length #{len}, one clean byte"
    end
  end

  # Long results are allocated once, at their escaped length: what the
  # string holds beyond it is only the kernels' fixed write slack.
  def test_large_results_are_sized_exactly
    rng = Random.new(3)
    inputs = {
      "markup" => Array.new(8192) { rng.rand < 0.2 ? "<" : "a" }.join,
      "prose" => ("word " * 20_000) + "&",
      "quotes" => '"' * 300_000,
      "one at the end" => ("z" * 1_000_000) + ">"
    }
    inputs.each do |name, src|
      got = escape(src)
      assert_equal reference(src), got, name
      held = ObjectSpace.memsize_of(got)
      assert_operator held, :>, got.bytesize, "#{name}: the result's buffer should be its own"
      # An empty string is embedded: its size is the object slot alone.
      unused = held - ObjectSpace.memsize_of(String.new) - got.bytesize - 1
      assert_operator unused, :<=, 64, "#{name}: #{unused} bytes unused of #{got.bytesize}"
    end
  end

  # Where a long is 32 bits (Windows), a string's length is one too: a
  # result that would pass the longest string raises before anything is
  # allocated, as the lowered limit of rake test:limit shows elsewhere.
  def test_a_result_longer_than_a_long_raises
    skip "a long is #{[0].pack("l!").bytesize * 8} bits: no input here reaches the longest string" unless
      [0].pack("l!").bytesize == 4
    longest = 2**31 - 1
    quotes = '"' * (((longest - 64) / 6) + 1)
    GC.disable
    before = GC.stat(:malloc_increase_bytes)
    error = assert_raises(ArgumentError) { escape(quotes) }
    grown = GC.stat(:malloc_increase_bytes) - before
    GC.enable
    assert_match(/too long to escape: #{quotes.bytesize} bytes would grow by #{quotes.bytesize * 5}/, error.message)
    assert_operator grown, :<, 1 << 20, "#{grown} bytes allocated before raising"
  ensure
    GC.enable
  end

  def test_build_has_the_kernels_it_should
    binary = File.binread(EXT)
    vector = %w[avx512 avx2 sse2 neon]
    expected =
      if ENV["CGIESC_EXPECT_NO_SIMD"] then []
      elsif RbConfig::CONFIG["host_cpu"].match?(/x86_64|amd64|x64/) then %w[avx512 avx2 sse2]
      elsif RbConfig::CONFIG["host_cpu"].match?(/aarch64|arm64/) then %w[neon]
      else []
      end
    (expected + ["portable"]).each { |k| assert_includes binary, "#{k}\0" }
    (vector - expected).each { |k| refute_includes binary, "#{k}\0" }
  end

  def test_kernel_can_be_forced_from_the_environment
    wanted = ENV["CGIESC_KERNEL"].to_s
    assert_equal wanted, CGIEsc::KERNEL unless wanted.empty?
    assert_predicate CGIEsc::KERNEL, :frozen?
    code = 'require "cgiesc"; print CGIEsc::KERNEL, " ", CGI.escapeHTML("<" * 300)'
    default, = run_ruby(code, env: { "CGIESC_KERNEL" => nil })
    # Names are case-sensitive; the other architecture's kernel is never built.
    other_arch = RbConfig::CONFIG["host_cpu"].match?(/x86_64|amd64|x64/) ? "neon" : "avx2"
    ["no-such-kernel", "AVX2", other_arch].each do |name|
      out, err, status = run_ruby(code, env: { "CGIESC_KERNEL" => name })
      assert status.success?, err
      assert_equal default, out, "CGIESC_KERNEL=#{name} should fall back to the default kernel"
      assert_equal 1, err.lines.size, err
      assert_match(/cgiesc: CGIESC_KERNEL=#{name} (is not a kernel of this build|needs instructions this processor lacks); using \w+$/, err)
    end
  end
end
