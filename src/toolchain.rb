# frozen_string_literal: true

require "rbconfig"
require "shellwords"

# What extconf asks of the toolchain and the system: where the compiler is,
# how this system gets one, and which of cgiesc's flags the toolchain takes.
# Plain functions of their inputs, so that tests can ask them about macOS,
# Windows and other Linux systems from here.
module CGIEscToolchain
  # Programs that run the compiler named after them: the compiler is the
  # first word of the command that is none of these.
  LAUNCHERS = %w[ccache sccache distcc icecc buildcache].freeze

  # Compiler flags beyond mkmf's own: optimised, warnings on, nothing
  # exported but the entry point, and no C++ exceptions or RTTI (no C++
  # exception may ever unwind through the interpreter).
  CXXFLAGS = %w[-O2 -Wall -Wextra -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti].freeze

  # Linker flags beyond mkmf's own, each a list of ways to the same end, the
  # first the linker takes kept: link only the libraries that are used
  # (libruby and libc, not the C++ runtime, libgcc_s or libm that the
  # toolchain and Ruby's flags add). GNU ld, gold, lld and mold take the
  # first; Apple's ld and ld64.lld the second.
  LDFLAGS = [%w[-Wl,--as-needed -Wl,-dead_strip_dylibs]].freeze

  module_function

  # The system that runs the build, whose rules find its compiler and whose
  # way to one is named. host_os is the target, which a cross build (a
  # Windows Ruby's rbconfig.rb on Linux, as rake-compiler runs extconf) does
  # not run on; build_os is this machine. But a Ruby that was itself
  # cross-built for Windows names the Linux machine that built it there: the
  # interpreter's own path separator, which no rbconfig.rb changes, tells.
  def build_os(config = RbConfig::CONFIG, path_separator: File::PATH_SEPARATOR)
    os = config["build_os"] || config["host_os"]
    path_separator == ";" && !windows?(os) ? config["host_os"] : os
  end

  def windows?(os = build_os) = os.match?(/mingw|mswin|cygwin/)

  # The programs a compiler command runs: any launchers, then the compiler.
  # "ccache g++ -m64" -> ["ccache", "g++"]. Windows paths keep their
  # backslashes.
  def programs(command, windows: windows?)
    words = windows ? command.split : Shellwords.split(command)
    compiler = words.index { |w| !LAUNCHERS.include?(File.basename(w).downcase.delete_suffix(".exe")) }
    compiler ? words[0..compiler] : words
  end

  # Where the system's shell finds program, or nil: a name with a directory
  # part as it stands, a bare name in each directory of path; on Windows
  # with each extension of PATHEXT unless it has one of them already.
  def find_program(name, path: ENV.fetch("PATH", ""), windows: windows?, pathext: ENV["PATHEXT"])
    exts = [""]
    if windows
      known = (pathext || ".COM;.EXE;.BAT;.CMD").split(";").reject(&:empty?)
      exts = known unless known.any? { |e| e.casecmp?(File.extname(name)) }
    end
    dirs = name.match?(windows ? %r{[/\\]|\A[A-Za-z]:} : %r{/}) ? [nil] : path.split(windows ? ";" : ":")
    dirs.each do |dir|
      next if dir&.empty?

      # Windows matches extensions in any case; a case-sensitive folder
      # there, or a test here, may not.
      exts.flat_map { |e| [e, e.downcase] }.uniq.each do |ext|
        candidate = dir ? File.join(dir, name + ext) : name + ext
        return candidate if File.file?(candidate) && (windows || File.executable?(candidate))
      end
    end
    nil
  end

  # The programs of command that the shell would not find.
  def missing_programs(command, windows: windows?, **where)
    programs(command, windows: windows).reject { |p| find_program(p, windows: windows, **where) }
  end

  # The ID and ID_LIKE words of an os-release file, lower case.
  def distribution(os_release = "/etc/os-release")
    text = File.exist?(os_release) ? File.read(os_release) : ""
    text.scan(/^(?:ID|ID_LIKE)=["']?([^"'\n]*)/).flatten.flat_map(&:split).map(&:downcase)
  rescue SystemCallError
    []
  end

  # This system's own way to a C++ compiler, and to Ruby's headers where
  # they are packaged apart from Ruby: [where, command].
  def install_hint(headers:, abi:, build_os: self.build_os, distribution: self.distribution)
    if build_os.include?("darwin")
      ["on macOS", "xcode-select --install"]
    elsif windows?(build_os)
      ["with RubyInstaller", "ridk install"]
    elsif build_os.include?("musl") || distribution.include?("alpine")
      ["on Alpine", "apk add build-base#{" ruby-dev" if headers}"]
    elsif (distribution & %w[fedora rhel centos]).any?
      ["on Fedora or RHEL", "dnf install gcc-c++#{" ruby-devel" if headers}"]
    else
      ["on Debian or Ubuntu", "apt-get install g++#{" ruby#{abi}-dev" if headers}"]
    end
  end

  # cgiesc's flags that accepts(flag) says the toolchain takes:
  # [compiler flags, linker flags].
  def choose_flags(compiler: ->(_) { true }, linker: ->(_) { true })
    [CXXFLAGS.select { |f| compiler.call(f) }, LDFLAGS.filter_map { |ways| ways.find { |f| linker.call(f) } }]
  end
end
