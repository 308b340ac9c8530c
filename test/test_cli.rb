# frozen_string_literal: true

require_relative "test_helper"
require "tmpdir"
require "shellwords"

class TestCLI < Minitest::Test
  TOOL = File.join(ROOT, "exe", "cgiesc")

  # The escaped text comes as bytes: on Windows too, no CR is added.
  def cgiesc(*args, stdin_data: "", binary: true)
    run_ruby("load ARGV.shift", TOOL, *args, stdin_data: stdin_data, binary: binary)
  end

  def test_standard_input
    out, err, status = cgiesc(stdin_data: %(<p class="x">Tom & Jerry's</p>\n))
    assert status.success?, err
    assert_equal %(&lt;p class=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/p&gt;\n), out
    assert_empty err
  end

  def test_files_and_dash_in_order
    Dir.mktmpdir do |dir|
      a = File.join(dir, "a")
      b = File.join(dir, "b")
      File.write(a, "<a>")
      File.write(b, "&b")
      out, err, status = cgiesc(a, "-", b, stdin_data: "'in'")
      assert status.success?, err
      assert_equal "&lt;a&gt;&#39;in&#39;&amp;b", out
    end
  end

  def test_bytes_pass_through_across_chunks
    rng = Random.new(7)
    # Larger than several 64 KiB chunks, with special bytes on the chunk edges.
    input = rng.bytes(300_000)
    [65_535, 65_536, 131_071, 131_072].each { |i| input.setbyte(i, "<".ord) }
    input << "\xFE\xFF\x00<\x00".b # UTF-16 bytes are treated as bytes
    expected = input.gsub(/[&<>"']/n, "&" => "&amp;", "<" => "&lt;", ">" => "&gt;", '"' => "&quot;", "'" => "&#39;")
    out, err, status = cgiesc(stdin_data: input)
    assert status.success?, err
    assert_equal expected.bytesize, out.bytesize
    assert_equal expected, out
  end

  def test_unreadable_files_are_reported_and_skipped
    Dir.mktmpdir do |dir|
      good = File.join(dir, "good")
      File.write(good, "<ok>")
      missing = File.join(dir, "missing")
      out, err, status = cgiesc(missing, good, dir)
      assert_equal 1, status.exitstatus
      assert_equal "&lt;ok&gt;", out
      assert_equal "cgiesc: #{missing}: No such file or directory\ncgiesc: #{dir}: Is a directory\n", err
    end
  end

  def test_help_version_and_bad_options
    # Help and version are text, in the system's line ends.
    out, _err, status = cgiesc("--help", binary: false)
    assert status.success?
    assert_match(/\AUsage: cgiesc \[FILE\.\.\.\]/, out)
    assert_match(/^ +-- +end of options/, out)
    assert_equal out, cgiesc("-h", binary: false).first

    out, _err, status = cgiesc("--version", binary: false)
    assert status.success?
    assert_equal "cgiesc #{CGIEsc::VERSION}\n", out

    out, err, status = cgiesc("--frobnicate")
    assert_equal 2, status.exitstatus
    assert_empty out
    assert_match(/unknown option: --frobnicate/, err)
    assert_match(/Usage: cgiesc/, err)
  end

  # A reader that stops early (head, less) ends the tool without a word:
  # by the signal where there is one, as cat ends; on Windows, which has
  # none, with status 1.
  def test_closed_pipe_ends_quietly
    cmd = [RbConfig.ruby, "-I", EXT_DIR, "-I", LIB, "-r", GUARD, TOOL]
    Open3.popen3(*cmd) do |stdin, stdout, stderr, wait|
      [stdin, stdout, stderr].each(&:binmode)
      writer = Thread.new do
        stdin.write("<" * 2_000_000)
      rescue SystemCallError, IOError
        nil # the tool is gone
      ensure
        stdin.close unless stdin.closed?
      end
      assert_equal "&lt;&", stdout.read(5)
      stdout.close
      status = wait.value
      writer.join
      assert_empty stderr.read
      if Signal.list.key?("PIPE")
        assert_equal Signal.list["PIPE"], status.termsig, status.inspect
      else
        assert_equal 1, status.exitstatus
      end
    end
  end

  # rake demo's stdout is the escaped text alone; a missing file is one
  # line on stderr, before anything is built.
  def test_rake_demo
    skip "runs the build tools, which a preloaded sanitizer runtime would check too" if ENV["CGIESC_SANITIZED"]
    skip "builds with make and a compiler, which a Windows Ruby under Wine has not" if WINDOWS

    # This Ruby's rake: another one on the PATH could not load this build.
    rake = [RbConfig.ruby, "-S", "rake", "-f", File.join(ROOT, "Rakefile")]
    out, err, status = Open3.capture3(*rake, "demo", "FILE=no/such/page.html", chdir: ROOT)
    assert_equal 1, status.exitstatus
    assert_empty out
    assert_equal ["rake demo: cannot read no/such/page.html\n"], err.lines

    out, err, status = Open3.capture3(*rake, "demo", chdir: ROOT, binmode: true)
    assert status.success?, err
    assert_equal escape(File.binread(File.join(ROOT, "examples", "sample.html"))), out
  end
end
