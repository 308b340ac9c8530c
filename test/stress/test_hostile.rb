# frozen_string_literal: true

require_relative "../test_helper"
require "objspace"

# Arguments a caller should never pass, and inputs at the extremes of size
# and expansion: each gives the right result or the host's own error, never
# changes the argument, and costs no more memory than the result.
class TestHostile < Minitest::Test
  # A sanitizer's allocator holds freed memory in quarantine: memory figures
  # then say nothing about the extension.
  def measure_memory? = !ENV["CGIESC_SANITIZED"]

  def rss_kib(field = "VmRSS")
    File.read("/proc/self/status")[/^#{field}:\s+(\d+)/, 1].to_i
  end

  def convertible(&block)
    obj = Object.new
    obj.define_singleton_method(:to_str, &block)
    obj
  end

  def test_values_without_a_string_conversion
    [nil, 42, 2**100, 1.5, :sym, [], {}, Object.new, BasicObject.new, true].each do |bad|
      e = assert_raises(TypeError) { CGI.escapeHTML(bad) }
      assert_match(/into String|to String|no implicit conversion/, e.message)
    end
  end

  def test_conversions_that_misbehave
    assert_raises(TypeError) { CGI.escapeHTML(convertible { nil }) }
    assert_raises(TypeError) { CGI.escapeHTML(convertible { 42 }) }
    assert_equal "&lt;", CGI.escapeHTML(convertible { "<".freeze })
    e = assert_raises(RuntimeError) { CGI.escapeHTML(convertible { raise "boom" }) }
    assert_equal "boom", e.message
    assert_equal :thrown, catch(:tag) { CGI.escapeHTML(convertible { throw :tag, :thrown }) }
    assert_raises(SystemExit) { CGI.escapeHTML(convertible { exit 3 }) }
    # A UTF-16 string from to_str is handed on converted; here nothing follows.
    only_escape = Object.new.extend(CGI::Escape)
    assert_raises(NoMethodError) { only_escape.escapeHTML(convertible { "<".encode("UTF-16LE") }) }
  end

  def test_strange_strings
    broken = ["\xff<\xfe".b.force_encoding("UTF-8"), "\x81<".b.force_encoding("Shift_JIS"),
              "\xa4<".b.force_encoding("EUC-JP")]
    broken.each do |s|
      got = CGI.escapeHTML(s)
      assert_equal s.b.sub("<", "&lt;"), got.b
      assert_equal s.encoding, got.encoding
    end
    sub = Class.new(String)
    [sub.new("a<b"), sub.new("plain"), "x&y".freeze, -"interned<", "\0<\0"].each do |s|
      before = [s.b, s.encoding, s.frozen?]
      assert_equal Reference.escape(s).b, CGI.escapeHTML(s).b
      assert_equal before, [s.b, s.encoding, s.frozen?]
    end
  end

  def test_huge_clean_string
    src = "a" * (256 * 1024 * 1024)
    before = rss_kib
    got = CGI.escapeHTML(src)
    grown = rss_kib - before
    refute_same src, got
    assert_equal src.bytesize, got.bytesize
    assert_equal src, got
    REPORT << "hostile: 256 MiB without a special byte: resident memory grew #{grown} KiB"
    # Nothing to escape: the result shares the source's bytes.
    assert_operator grown, :<, 16 * 1024, "RSS grew by #{grown} KiB" if measure_memory?
  end

  def test_largest_expansion
    n = 64 * 1024 * 1024
    src = '"' * n
    GC.start
    before = rss_kib
    got = CGI.escapeHTML(src)
    grown = rss_kib - before
    # Measured before any slice below turns the result into a shared string.
    held = ObjectSpace.memsize_of(got)
    assert_equal 6 * n, got.bytesize
    assert_operator held, :>, got.bytesize
    assert_operator held, :<=, got.bytesize * 9 / 8
    chunk = "&quot;" * (1024 * 1024)
    (0...got.bytesize).step(chunk.bytesize) { |at| assert_equal chunk, got.byteslice(at, chunk.bytesize) }
    result_kib = got.bytesize / 1024
    REPORT << "hostile: 64 MiB of double quotes: #{result_kib} KiB result, resident memory grew #{grown} KiB, " \
              "#{held / 1024} KiB held"
    if measure_memory?
      assert_operator grown, :<, result_kib + 32 * 1024, "RSS grew by #{grown} KiB for a #{result_kib} KiB result"
    end
  end

  def test_raising_conversions_leak_nothing
    skip "memory figures mean nothing under a sanitizer" unless measure_memory?

    raising = convertible { raise ArgumentError }
    call = lambda do |count|
      count.times do
        CGI.escapeHTML(raising)
      rescue ArgumentError
        nil
      end
    end
    call.(100_000)
    GC.start
    before = rss_kib
    call.(1_000_000)
    GC.start
    after = rss_kib
    REPORT << "hostile: 1,000,000 calls whose to_str raises: resident memory #{before} -> #{after} KiB"
    assert_operator after, :<=, before * 1.1, "RSS went from #{before} to #{after} KiB"
  end
end
