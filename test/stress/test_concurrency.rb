# frozen_string_literal: true

require_relative "../test_helper"

# Many threads, and several Ractors, escaping at once while the collector
# runs and compacts: every result is checked.
class TestConcurrency < Minitest::Test
  CALLS = Integer(ENV.fetch("CGIESC_CONCURRENCY_CALLS", 20_000))

  # Inputs of mixed lengths and encodings; UTF-16 ones take the delegated
  # path to a fallback that converts through UTF-8.
  def self.inputs(seed)
    rng = Random.new(seed)
    pieces = [*Reference::REFERENCES.keys, "a", "bc", " ", "\u00e9", "\u65e5"]
    Array.new(64) do |i|
      s = Array.new([1, 8, 40, 300, 3000][i % 5]) { pieces[rng.rand(pieces.size)] }.join
      case i % 4
      when 1 then s.encode("ISO-8859-1", undef: :replace)
      when 2 then s.b
      when 3 then s.encode("UTF-16LE")
      else s
      end
    end
  end

  HOST = Class.new do
    include CGI::Util
    def escapeHTML(str) = CGI.escapeHTML(str.encode("UTF-8")).encode(str.encoding)
  end
  HOST.prepend(CGI::Escape)

  def expected_for(strs)
    strs.map { |s| s.encoding == Encoding::UTF_16LE ? Reference.escape(s.encode("UTF-8")).encode(s.encoding) : Reference.escape(s) }
  end

  def test_threads
    strs = self.class.inputs(1)
    expected = expected_for(strs)
    stop = false
    gc = Thread.new do
      until stop
        GC.start
        GC.compact
        sleep 0.01
      end
    end
    workers = Array.new(8) do |t|
      Thread.new do
        host = HOST.new
        bad = 0
        CALLS.times do |i|
          k = (i * 7 + t) % strs.size
          bad += 1 unless host.escapeHTML(strs[k]) == expected[k]
        end
        bad
      end
    end
    failures = workers.sum(&:value)
    stop = true
    gc.join
    REPORT << "concurrency: #{8 * CALLS} calls on 8 threads beside GC.start and GC.compact, #{failures} wrong"
    assert_equal 0, failures, "wrong results out of #{8 * CALLS} calls"
  end

  def test_ractors
    skip "no Ractor on this Ruby" unless defined?(Ractor)

    out, err, status = run_ruby(<<~RUBY, env: { "CALLS" => CALLS.to_s })
      Warning[:experimental] = false
      require "cgiesc/erb"
      calls = Integer(ENV["CALLS"])
      # Loaded here, once: Ruby 3.1 can fail ("destroyed thread shield") when
      # Ractors race to load an encoding's library on first use.
      "a".dup.force_encoding("ISO-8859-1").valid_encoding?
      ractors = Array.new(4) do |r|
        Ractor.new(r, calls) do |seed, n|
          table = { '"' => "&quot;", "&" => "&amp;", "'" => "&#39;", "<" => "&lt;", ">" => "&gt;" }
          rng = Random.new(seed)
          pieces = [*table.keys, "a", "bc", " ", "\\u00e9", "\\u65e5"]
          strs = Array.new(32) { |i| Array.new([1, 8, 40, 300][i % 4]) { pieces[rng.rand(pieces.size)] }.join }
          # Relabelled, not transcoded: Ruby 3.1 crashes when a Ractor is the
          # first to load a transcoder.
          strs = strs.each_with_index.map { |s, i| i.odd? ? s.b.force_encoding("ISO-8859-1") : s }
          expected = strs.map { |s| s.each_char.map { |c| table.fetch(c, c) }.join.force_encoding(s.encoding) }
          bad = 0
          n.times do |i|
            k = i % strs.size
            # CGI's escape and ERB's take turns.
            got = i.even? ? CGI.escapeHTML(strs[k]) : ERB::Escape.html_escape(strs[k])
            bad += 1 unless got == expected[k] && got.encoding == strs[k].encoding
          end
          bad
        end
      end
      gc = Thread.new { 20.times { GC.start; GC.compact; sleep 0.02 } }
      # Ruby 4.0 replaced Ractor#take with Ractor#value.
      bad = ractors.sum { |r| r.respond_to?(:value) ? r.value : r.take }
      gc.join
      puts "ractor failures: \#{bad}"
    RUBY
    assert status.success?, err
    REPORT << "concurrency: #{4 * CALLS} calls in 4 Ractors beside GC.start and GC.compact, #{out.strip}"
    assert_equal "ractor failures: 0\n", out
  end
end
