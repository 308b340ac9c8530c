# frozen_string_literal: true

require_relative "test_helper"
require "tmpdir"

class TestPackaging < Minitest::Test
  # The ELF checks; rake test:windows reads the PE object's exports and
  # imports from the Linux side.
  def setup
    skip "ELF checks; the PE object is checked by rake test:windows" if WINDOWS && name.match?(/export|libc|rtti/)
  end

  def test_only_the_entry_point_is_exported
    out, err, status = Open3.capture3("nm", "-D", "--defined-only", EXT)
    assert status.success?, err
    assert_equal ["Init_escape"], out.lines.map { |l| l.split.last }
  end

  # What the object may need of the system it lands on: libruby and glibc,
  # and no libc symbol newer than Debian 12's glibc 2.36.
  def test_needs_only_libruby_and_libc
    skip "a sanitizer build needs its runtime" if ENV["CGIESC_SANITIZED"]

    out, err, status = Open3.capture3("readelf", "-d", "-W", EXT)
    assert status.success?, err
    needed = out.scan(/\(NEEDED\)\s+Shared library: \[([^\]]+)\]/).flatten
    # glibc's own loader may be named too: on aarch64 it holds the stack
    # protector's canary.
    assert_equal ["libc.so.6"], needed.grep_v(/\Alibruby|\Ald-linux-[\w-]+\.so\.1\z/), needed.join(" ")
    out, = Open3.capture3("readelf", "--dyn-syms", "-W", EXT)
    versions = out.scan(/@GLIBC_(\d+(?:\.\d+)+)/).flatten.map { |v| Gem::Version.new(v) }
    refute_empty versions
    assert_operator versions.max, :<=, Gem::Version.new("2.36")
  end

  # Built without C++ exceptions or RTTI, whichever compiler built it: no
  # exception tables, no type information, no personality routine.
  def test_no_cxx_exceptions_or_rtti
    out, err, status = Open3.capture3("readelf", "-S", "-W", EXT)
    assert status.success?, err
    refute_match(/\.gcc_except_table/, out)
    symbols, = Open3.capture3("nm", EXT)
    refute_match(/_ZTI|_ZTS|__gxx_personality/, symbols)
  end

  # Without a compiler or Ruby's headers, the build stops at once with one
  # line naming both and what to install (mkmf would stop first, naming
  # neither), and, where a platform gem has an object for this Ruby, the way
  # to it: a newer RubyGems, or a lockfile with the platform (none for 3.2).
  def test_build_without_compiler_or_headers_says_what_to_install
    skip "names Linux's prebuilt gems beside the compiler this Ruby has; a Windows Ruby under Wine has none" if WINDOWS
    extconf = File.join(ROOT, "src", "extconf.rb")
    Dir.mktmpdir do |dir|
      headers = Regexp.escape("#{dir}/ruby.h")
      update = "; or take the prebuilt x86_64-linux-gnu gem, which needs RubyGems 3.3.23 or later: gem update --system"
      relock = "; or, with Bundler, take the prebuilt gem: bundle lock --add-platform aarch64-linux-gnu"
      [[{}, "3.3.15", "x86_64", "3", /\(here: no #{headers}\)#{Regexp.escape(update)}\n\z/],
       [{ "PATH" => dir }, "3.6.7", "aarch64", "4", /\(here: no \S+, no #{headers}\)#{Regexp.escape(relock)}\n\z/],
       [{}, "3.3.15", "x86_64", "2", /\(here: no #{headers}\)\n\z/]].each do |env, rubygems, cpu, minor, tail|
        code = %(RbConfig::CONFIG.update("rubyhdrdir" => #{dir.dump}, "host_cpu" => "#{cpu}", "host_os" => "linux-gnu",
                                         "MAJOR" => "3", "MINOR" => "#{minor}")
                 Gem.send(:remove_const, :VERSION); Gem::VERSION = "#{rubygems}"
                 load #{extconf.dump})
        out, err, status = Open3.capture3(env, RbConfig.ruby, "-e", code, chdir: dir)
        refute status.success?
        assert_empty out
        assert_equal 1, err.lines.size, err
        assert_match(/\Acgiesc needs a C\+\+17 compiler .* and Ruby's headers; on Debian or Ubuntu: apt-get install g\+\+ ruby3\.#{minor}-dev /, err)
        assert_match tail, err, "RubyGems #{rubygems} on #{cpu}, Ruby 3.#{minor}, #{env}"
      end
    end
  end

  def test_gem_builds_installs_and_loads_outside_the_repository
    skip "packaging is not what this run checks" if ENV["CGIESC_SKIP_PACKAGING"]
    skip "gem install compiles, and a Windows Ruby under Wine has no compiler" if WINDOWS

    Dir.mktmpdir("cgiesc-gem") do |dir|
      gem = File.join(dir, "cgiesc.gem")
      _, err, status = Open3.capture3(RbConfig.ruby, "-S", "gem", "build", "cgiesc.gemspec",
                                      "--output", gem, chdir: ROOT)
      assert status.success?, err

      home = File.join(dir, "home")
      env = { "GEM_HOME" => home, "GEM_PATH" => home, "CGIESC_ALLOWED_ROOTS" => dir }
      _, err, status = Open3.capture3(env, RbConfig.ruby, "-S", "gem", "install", "--local",
                                      "--no-document", "--install-dir", home, gem, chdir: dir)
      assert status.success?, err

      files, = Open3.capture3(env, RbConfig.ruby, "-S", "gem", "spec", gem, "files")
      refute_match(/\.so$|^- test|\.o$/, files)

      code = 'require "cgiesc"; print CGI.escapeHTML("<&>"), " ", $LOADED_FEATURES.grep(/escape\.so/).join'
      out, err, status = run_ruby(code, env: env, chdir: dir, load_path: [])
      assert status.success?, err
      result, loaded = out.split(" ")
      assert_equal "&lt;&amp;&gt;", result
      assert loaded.start_with?(File.realpath(home)), loaded

      tool_env = env.merge("RUBYOPT" => "-r#{GUARD}")
      out, err, status = Open3.capture3(tool_env, File.join(home, "bin", "cgiesc"), stdin_data: "'x'", chdir: dir)
      assert status.success?, err
      assert_equal "&#39;x&#39;", out
    end
  end
end
