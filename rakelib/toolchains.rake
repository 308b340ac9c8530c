# frozen_string_literal: true

require "open3"
require "shellwords"

# The toolchains of the systems that cgiesc's users build on and this
# machine is not: Windows (MinGW-w64, the kernel test run under Wine),
# macOS (clang's Mach-O targets and LLVM's Mach-O linker, without Apple's
# SDK), and a linker that knows only its own options. Each line says what
# was checked.

TOOLCHAIN_DIR = File.join(ROOT, "tmp", "toolchains")
MINGW_CXX = "x86_64-w64-mingw32-g++-posix"
MINGW_OBJDUMP = "x86_64-w64-mingw32-objdump"
APPLE_TARGETS = %w[arm64-apple-macos11 x86_64-apple-macos10.15].freeze
APPLE_STANDIN = File.join(ROOT, "test", "toolchains", "apple_sdk_standin")
LIBCXX_HEADERS = "/usr/lib/llvm-14/include/c++/v1"
GUARD_FILE = File.join(ROOT, "test", "support", "only_ours.rb")
# Debian's packages for each command the task runs.
TOOLCHAIN_PACKAGES = {
  MINGW_CXX => "g++-mingw-w64-x86-64-posix", "wine" => "wine64 wine", "ld64.lld-14" => "lld-14",
  "llvm-otool-14" => "llvm-14", "clang++-14" => "clang-14"
}.freeze

def toolchain_line(text) = puts("toolchains: #{text}")

# Runs a command; its output, or the task fails with it.
def toolchain_run(*cmd, env: {})
  out, status = Open3.capture2e(env, *cmd)
  abort "toolchains: failed: #{cmd.shelljoin}\n#{out}" unless status.success?
  out
end

def toolchain_accepts?(*cmd) = Open3.capture2e(*cmd).last.success?

# cgiesc's flags that a foreign toolchain takes, asked as extconf asks
# (its choice, with this compiler and linker in place of mkmf's checks).
# compile: the command that compiles an empty source (-c and the file
# appended); link: the one that links an object into the product.
def foreign_flags(dir, compile, link)
  src = File.join(dir, "probe.cpp")
  obj = File.join(dir, "probe.o")
  File.write(src, "int cgiesc_probe(int x) { return x + 1; }\n")
  toolchain_run(*compile, "-c", src, "-o", obj)
  CGIEscToolchain.choose_flags(
    compiler: ->(flag) { toolchain_accepts?(*compile, "-Werror", flag, "-c", src, "-o", obj) },
    linker: ->(flag) { toolchain_accepts?(*link, flag, obj, "-o", File.join(dir, "probe.out")) }
  )
end

def core_objects(dir, compile, flags)
  [*CORE_SOURCES, "test/toolchains/entry_standin.cpp"].map do |src|
    obj = File.join(dir, "#{File.basename(src, ".cpp")}.o")
    toolchain_run(*compile, *flags, "-Isrc", "-c", src, "-o", obj)
    obj
  end
end

task "toolchains:setup" do
  missing = TOOLCHAIN_PACKAGES.reject { |cmd, _| CGIEscToolchain.find_program(cmd) }.values
  missing << "libc++-14-dev" unless File.exist?(File.join(LIBCXX_HEADERS, "cstring"))
  next if missing.empty?

  install_debian_packages("test:toolchains", missing)
end

namespace :toolchains do
  desc "MinGW-w64: the core and the kernel test, run under Wine; a DLL's exports and imports"
  task windows: "toolchains:setup" do
    dir = File.join(TOOLCHAIN_DIR, "windows")
    mkdir_p dir, verbose: false
    compile = [MINGW_CXX, "-std=c++17"]
    cxxflags, ldflags = foreign_flags(dir, compile, [MINGW_CXX, "-shared"])
    toolchain_line "windows: #{MINGW_CXX} takes #{cxxflags.join(" ")}; its linker takes #{ldflags.join(" ")}"
    abort "toolchains: MinGW-w64 refused a flag that it takes" unless cxxflags == CGIEscToolchain::CXXFLAGS

    # -static: the test needs no MinGW runtime DLLs under Wine.
    exe = File.join(dir, "kernel_test.exe")
    toolchain_run(*compile, *cxxflags, "-Werror", "-static", "-Isrc", "-o", exe, "test/kernel_test.cpp", *CORE_SOURCES)
    wine = { "WINEPREFIX" => File.join(dir, "wine"), "WINEDEBUG" => "-all" }
    toolchain_run("wineboot", "--init", env: wine) unless File.directory?(wine["WINEPREFIX"])
    result = toolchain_run("wine", exe, env: wine).lines.map(&:strip)
    summary = result.grep(/\A\d+ passed, \d+ failed\z/).last
    abort "toolchains: the kernel test under Wine failed:\n#{result.join("\n")}" unless summary&.end_with?(" 0 failed")
    toolchain_line "windows: kernel test (#{MINGW_CXX}, -Werror, PE32+) under Wine " \
                   "#{toolchain_run("wine", "--version", env: wine).strip}: " \
                   "#{result.grep(/\Akernels: /).first.delete_prefix("kernels: ")}; #{summary}"

    # Ruby's headers for this target (its ruby/config.h, which only Ruby's
    # own build for Windows makes) cannot be had here: the DLL holds the
    # core and an entry point declared as escape.cpp declares it.
    dll = File.join(dir, "escape.dll")
    toolchain_run(MINGW_CXX, "-shared", *ldflags, "-o", dll, *core_objects(dir, compile, cxxflags + ["-Werror"]))
    dump = toolchain_run(MINGW_OBJDUMP, "-p", dll)
    exports = dump[/\[Ordinal\/Name Pointer\] Table\n(.*?)\n\n/m, 1].to_s.scan(/\]\s+(\S+)/).flatten
    imports = dump.scan(/DLL Name: (\S+)/).flatten
    abort "toolchains: the DLL exports #{exports.inspect}" unless exports == ["Init_escape"]
    abort "toolchains: the DLL needs the C++ runtime: #{imports.join(", ")}" if imports.any? { |d| d.match?(/stdc\+\+|gcc_s/) }
    symbols = toolchain_run("x86_64-w64-mingw32-nm", dll)
    abort "toolchains: the DLL holds RTTI or exception tables" if symbols.match?(/_ZTI|_ZTS|__gxx_personality/)
    toolchain_line "windows: DLL of the core and a Ruby-free entry point (no Ruby headers for MinGW here): " \
                   "exports #{exports.join(", ")}; imports #{imports.join(", ")}; no RTTI or personality symbols"
  end

  desc "clang's macOS targets with ld64.lld, without Apple's SDK: flags, the core, and a bundle's exports and libraries"
  task macos: "toolchains:setup" do
    APPLE_TARGETS.each do |target|
      dir = File.join(TOOLCHAIN_DIR, target)
      mkdir_p dir, verbose: false
      # Apple's C library stands in as its few declarations and link stubs
      # (test/toolchains/apple_sdk_standin); the C++ library is LLVM's own.
      sysroot = ["-target", target, "-isysroot", APPLE_STANDIN, "-stdlib=libc++"]
      compile = ["clang++-14", *sysroot, "-nostdinc++", "-isystem", LIBCXX_HEADERS, "-ffreestanding", "-std=c++17"]
      # As mkmf links a bundle on macOS.
      link = ["clang++-14", *sysroot, "-fuse-ld=lld", "-dynamic", "-bundle", "-Wl,-undefined,dynamic_lookup"]
      cxxflags, ldflags = foreign_flags(dir, compile, link)
      refused = CGIEscToolchain::LDFLAGS.flatten - ldflags
      toolchain_line "#{target}: clang++-14 takes #{cxxflags.join(" ")}; ld64.lld takes #{ldflags.join(" ")}, " \
                     "refuses #{refused.join(" ")}"
      abort "toolchains: ld64.lld should take -dead_strip_dylibs alone" unless ldflags == ["-Wl,-dead_strip_dylibs"]

      objects = core_objects(dir, compile, cxxflags + ["-Werror"])
      bundle = File.join(dir, "escape.bundle")
      toolchain_run(*link, *ldflags, "-o", bundle, *objects)
      exports = toolchain_run("llvm-nm-14", "-g", "--defined-only", bundle).lines.map { |l| l.split.last }
      libraries = toolchain_run("llvm-otool-14", "-L", bundle).lines.drop(1).map { |l| l.split.first }
      header = toolchain_run("llvm-objdump-14", "--macho", "--private-header", bundle).lines.grep(/MH_MAGIC_64/).first
      _, cpu, _, _, filetype = header.to_s.split
      abort "toolchains: #{target} made a #{filetype.inspect}, not a bundle" unless filetype == "BUNDLE"
      abort "toolchains: #{target} bundle exports #{exports.inspect}" unless exports == ["_Init_escape"]
      abort "toolchains: #{target} bundle links #{libraries.inspect}" unless libraries == ["/usr/lib/libSystem.B.dylib"]
      # Without the flag, the C++ library the driver adds stays linked.
      toolchain_run(*link, "-o", "#{bundle}.plain", *objects)
      plain = toolchain_run("llvm-otool-14", "-L", "#{bundle}.plain").lines.drop(1).map { |l| l.split.first }
      toolchain_line "#{target}: the core and a Ruby-free entry point (no SDK, no Ruby headers for macOS here) " \
                     "linked by ld64.lld into a bundle for #{cpu}: exports " \
                     "#{exports.join(", ")}; links #{libraries.join(", ")} (#{plain.join(", ")} without " \
                     "#{ldflags.join(" ")})"
    end
    toolchain_line "macOS, not checked: Apple's own clang and ld, the SDK's headers and libraries, escape.cpp " \
                   "against Ruby's headers, loading into Ruby, running any code"
  end

  desc "extconf and make through a compiler whose linker refuses options outside Ruby's own configuration"
  task :strict_linker do
    dir = File.join(TOOLCHAIN_DIR, "strict-linker")
    rm_rf dir, verbose: false
    mkdir_p dir, verbose: false
    known = [RbConfig::CONFIG["LDFLAGS"], RbConfig::CONFIG["DLDFLAGS"]].join(" ").split.grep(/\A-Wl,/).uniq
    env = { "CXX" => File.join(ROOT, "test", "toolchains", "strict_linker_cxx"),
            "CGIESC_REAL_CXX" => RbConfig::CONFIG["CXX"], "CGIESC_LINKER_KNOWS" => known.join(" ") }
    log = Dir.chdir(dir) { toolchain_run(RUBY, File.join(ROOT, "src", "extconf.rb"), env: env) }
    Dir.chdir(dir) { toolchain_run("make", "-s", env: env) }
    so = File.join(dir, File.basename(EXT))
    lib = File.join(dir, "lib")
    mkdir_p File.join(lib, "cgiesc"), verbose: false
    cp so, File.join(lib, "cgiesc"), verbose: false
    code = 'require "cgiesc"; print CGI.escapeHTML(%q(<a href="x">&\'</a>)), " ", CGIEsc.native?'
    out = toolchain_run(RUBY, "-I", lib, "-I", "lib", "-r", GUARD_FILE, "-e", code)
    abort "toolchains: the object built through the strict linker escapes wrongly: #{out}" unless
      out == "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt; true"
    choices = log.lines.grep(/checking for linker flag/).map { |l| l.strip.delete_prefix("checking for linker flag ") }
    toolchain_line "a linker that refuses options outside Ruby's own: extconf #{choices.join("; ")}; make builds; " \
                   "the object loads and escapes (native? true)"
  end
end


namespace :test do
  desc "Foreign toolchains: Windows (MinGW-w64, Wine), macOS (clang, ld64.lld), a linker of its own options only"
  task toolchains: %w[toolchains:strict_linker toolchains:windows toolchains:macos]
end
