# frozen_string_literal: true

require_relative "test_helper"
require "tmpdir"
require_relative "../src/toolchain"

# How the build finds its compiler, says what to install, and picks its
# flags, on this system and on the others that users build on.
class TestToolchain < Minitest::Test
  T = CGIEscToolchain

  def with_programs(*names, executable: true)
    Dir.mktmpdir do |dir|
      names.each do |name|
        path = File.join(dir, name)
        File.write(path, "")
        File.chmod(executable ? 0o755 : 0o644, path)
      end
      yield dir
    end
  end

  def test_a_launcher_and_its_compiler_must_both_be_found
    assert_equal %w[ccache g++], T.programs("ccache g++ -m64", windows: false)
    assert_equal %w[/usr/bin/clang++], T.programs("/usr/bin/clang++ -std=c++17", windows: false)
    assert_equal ['C:\Ruby33\msys64\ucrt64\bin\g++.exe'], T.programs('C:\Ruby33\msys64\ucrt64\bin\g++.exe', windows: true)
    # Looked for by this system's own rules.
    with_programs(WINDOWS ? "g++.exe" : "g++") do |dir|
      assert_equal ["ccache"], T.missing_programs("ccache g++", path: dir, windows: WINDOWS)
      assert_empty T.missing_programs("g++ -O2", path: [dir, "/nonexistent"].join(File::PATH_SEPARATOR), windows: WINDOWS)
      assert_equal %w[sccache clang++], T.missing_programs("sccache clang++", path: "", windows: WINDOWS)
    end
  end

  # Windows' file system tells a program by its name, and has no executable
  # bit for the Unix rules to ask.
  def assert_program(expected, found)
    WINDOWS ? assert_equal(expected.downcase, found&.downcase) : assert_equal(expected, found)
  end

  def test_unix_finds_executables_on_path_or_by_their_own_path
    skip "Unix's rules ask for an executable bit, which Windows' file system does not keep" if WINDOWS
    with_programs("g++") do |dir|
      assert_equal File.join(dir, "g++"), T.find_program("g++", path: "::#{dir}", windows: false)
      assert_equal File.join(dir, "g++"), T.find_program(File.join(dir, "g++"), path: "", windows: false)
      assert_nil T.find_program("g++.exe", path: dir, windows: false)
      # A directory part is not searched for on PATH.
      assert_nil T.find_program("bin/g++", path: dir, windows: false)
    end
    with_programs("g++", executable: false) do |dir|
      assert_nil T.find_program("g++", path: dir, windows: false)
    end
  end

  def test_windows_finds_programs_through_pathext
    with_programs("g++.EXE", "cc.cmd") do |dir|
      path = "C:\\nowhere;#{dir}"
      assert_program File.join(dir, "g++.EXE"), T.find_program("g++", path: path, windows: true, pathext: ".COM;.EXE")
      assert_program File.join(dir, "g++.EXE"), T.find_program("g++.EXE", path: path, windows: true, pathext: ".com;.exe")
      assert_program File.join(dir, "cc.cmd"), T.find_program("cc", path: path, windows: true, pathext: nil)
      assert_nil T.find_program("g++", path: path, windows: true, pathext: ".COM;.BAT")
      # A path with a drive or a separator is taken as it stands.
      assert_program File.join(dir, "g++.EXE"), T.find_program(File.join(dir, "g++"), path: "", windows: true, pathext: ".EXE")
    end
    # Windows runs a file without its executable bit.
    with_programs("g++.exe", executable: false) do |dir|
      assert T.find_program("g++", path: dir, windows: true, pathext: ".EXE")
    end
  end

  def test_each_system_is_told_its_own_way_to_a_compiler
    {
      ["darwin21", []] => ["on macOS", "xcode-select --install", "xcode-select --install"],
      ["x64-mingw-ucrt", []] => ["with RubyInstaller", "ridk install", "ridk install"],
      ["linux-musl", []] => ["on Alpine", "apk add build-base ruby-dev", "apk add build-base"],
      ["linux", %w[alpine]] => ["on Alpine", "apk add build-base ruby-dev", "apk add build-base"],
      ["linux", %w[fedora]] => ["on Fedora or RHEL", "dnf install gcc-c++ ruby-devel", "dnf install gcc-c++"],
      ["linux", %w[rocky rhel centos fedora]] => ["on Fedora or RHEL", "dnf install gcc-c++ ruby-devel",
                                                  "dnf install gcc-c++"],
      ["linux-gnu", %w[ubuntu debian]] => ["on Debian or Ubuntu", "apt-get install g++ ruby3.3-dev",
                                           "apt-get install g++"],
      ["linux-gnu", []] => ["on Debian or Ubuntu", "apt-get install g++ ruby3.3-dev", "apt-get install g++"]
    }.each do |(build_os, distribution), (where, with_headers, compiler_only)|
      hint = ->(headers) { T.install_hint(headers: headers, abi: "3.3", build_os: build_os, distribution: distribution) }
      assert_equal [where, with_headers], hint.call(true), build_os
      assert_equal [where, compiler_only], hint.call(false), build_os
    end
  end

  def test_the_distribution_comes_from_os_release
    Dir.mktmpdir do |dir|
      file = File.join(dir, "os-release")
      File.write(file, %(NAME="Rocky Linux"\nID="rocky"\nID_LIKE="rhel centos fedora"\nVERSION_ID="9.4"\n))
      assert_equal %w[rocky rhel centos fedora], T.distribution(file)
      File.write(file, "ID=alpine\nVERSION_ID=3.20.0\n")
      assert_equal %w[alpine], T.distribution(file)
      assert_empty T.distribution(File.join(dir, "missing"))
    end
  end

  def test_a_refused_flag_is_left_out_and_the_next_way_taken
    all = T.choose_flags
    assert_equal [T::CXXFLAGS, ["-Wl,--as-needed"]], all
    apple = T.choose_flags(linker: ->(f) { !f.include?("--") })
    assert_equal ["-Wl,-dead_strip_dylibs"], apple.last
    assert_equal [T::CXXFLAGS - ["-fvisibility-inlines-hidden"], []],
                 T.choose_flags(compiler: ->(f) { f != "-fvisibility-inlines-hidden" }, linker: ->(_) { false })
  end

  def test_the_build_runs_where_the_interpreter_runs
    native_linux = { "host_os" => "linux-gnu", "build_os" => "linux-gnu" }
    cross = { "host_os" => "mingw32", "build_os" => "linux-gnu" }
    installer = { "host_os" => "mingw32", "build_os" => "mingw32" }
    assert_equal "linux-gnu", T.build_os(native_linux, path_separator: ":")
    assert_equal "linux-gnu", T.build_os(cross, path_separator: ":")
    assert_equal "mingw32", T.build_os(installer, path_separator: ";")
    # A Windows Ruby cross-built on Linux, running on Windows.
    assert_equal "mingw32", T.build_os(cross, path_separator: ";")
    assert_equal "darwin22", T.build_os({ "host_os" => "darwin22" }, path_separator: ":")
  end

  # The whole check before mkmf, as Windows and macOS would run it, and as a
  # cross build for Windows runs it on Linux (rake-compiler's way: the
  # Windows Ruby's rbconfig.rb, whose host_os is the target, build_os this
  # machine): the compiler is looked for by the rules of the machine that
  # builds, and that machine's way to one is named.
  def test_extconf_names_what_each_system_lacks
    extconf = File.join(ROOT, "src", "extconf.rb")
    cxx = RbConfig::CONFIG["CXX"].split.last
    cross = "x86_64-w64-mingw32-g++-posix"
    with_programs("#{cxx}.EXE") do |dir|
      with_programs(cross) do |linux_bin|
        [["x64-mingw-ucrt", "x64-mingw-ucrt", {}, { "PATH" => dir, "PATHEXT" => ".COM;.EXE" },
          "with RubyInstaller: ridk install (here: no #{dir}/ruby.h)"],
         ["darwin22", "darwin22", {}, { "PATH" => dir }, "on macOS: xcode-select --install (here: no #{cxx}, no #{dir}/ruby.h)"],
         # Found on a Linux PATH, without PATHEXT, though the target is
         # Windows (where the interpreter runs on Linux).
         *(WINDOWS ? [] : [
           ["mingw32", "linux-gnu", { "CXX" => cross }, { "PATH" => linux_bin, "PATHEXT" => nil },
            "on Debian or Ubuntu: apt-get install g++ ruby3.4-dev (here: no #{dir}/ruby.h)"],
           ["mingw32", "linux-gnu", { "CXX" => "#{cross}-missing" }, { "PATH" => linux_bin, "PATHEXT" => nil },
            "on Debian or Ubuntu: apt-get install g++ ruby3.4-dev (here: no #{cross}-missing, no #{dir}/ruby.h)"]
         ])]
          .each do |host_os, build_os, config, env, line|
          settings = { "rubyhdrdir" => dir, "host_os" => host_os, "build_os" => build_os, "MAJOR" => "3", "MINOR" => "4",
                       **config }
          code = %(RbConfig::CONFIG.update(#{settings.inspect}); load #{extconf.dump})
          out, err, status = Open3.capture3(env, RbConfig.ruby, "-e", code, chdir: dir)
          refute status.success?
          assert_empty out
          assert_equal "cgiesc needs a C++17 compiler (g++ 7 or clang 5 or newer) and Ruby's headers; #{line}\n",
                       err.delete("\r"), "#{host_os} built on #{build_os}"
        end
      end
    end
  end
end
