# frozen_string_literal: true

require "rbconfig"
require_relative "toolchain"

# CC=... and CXX=... in the environment pick the compilers, as they do
# for make: for mkmf's checks and for the Makefile alike.
%w[CC CXX].each { |var| RbConfig.fire_update!(var, ENV[var]) unless ENV[var].to_s.strip.empty? }

# Building needs a C++ compiler and Ruby's headers. mkmf stops as it loads
# when the headers are missing, with a line that names no package: look for
# both first, as the system's shell would find the compiler, and say in one
# line what to install.
cxx_command = RbConfig::CONFIG["CXX"]
missing_cxx = CGIEscToolchain.missing_programs(cxx_command)
headers = File.join(RbConfig::CONFIG["rubyhdrdir"], "ruby.h")

# Where a platform gem has an object for this Ruby, the way to it: this
# source gem came from a RubyGems too old for it, or from a lockfile that
# lacks the platform (written with such a RubyGems).
PREBUILT_RUBIES = %w[3.1 3.3 3.4].freeze
PREBUILT_CPUS = %w[x86_64 aarch64].freeze
abi = "#{RbConfig::CONFIG["MAJOR"]}.#{RbConfig::CONFIG["MINOR"]}"
platform = "#{RbConfig::CONFIG["host_cpu"]}-linux-gnu"
prebuilt =
  if !PREBUILT_RUBIES.include?(abi) || !PREBUILT_CPUS.include?(RbConfig::CONFIG["host_cpu"]) ||
     !RbConfig::CONFIG["host_os"].start_with?("linux") || RbConfig::CONFIG["host_os"].include?("musl")
    ""
  elsif defined?(Gem::VERSION) && Gem::Version.new(Gem::VERSION) < Gem::Version.new("3.3.23")
    "; or take the prebuilt #{platform} gem, which needs RubyGems 3.3.23 or later: gem update --system"
  else
    # A RubyGems that would take the platform gem got this one from a
    # lockfile without the platform, or was told to compile.
    "; or, with Bundler, take the prebuilt gem: bundle lock --add-platform #{platform}"
  end

unless missing_cxx.empty? && File.exist?(headers)
  missing = [*missing_cxx.map { |p| "no #{p}" }, ("no #{headers}" unless File.exist?(headers))].compact
  where, install = CGIEscToolchain.install_hint(headers: true, abi: abi)
  warn "cgiesc needs a C++17 compiler (g++ 7 or clang 5 or newer) and Ruby's headers; #{where}: " \
       "#{install} (here: #{missing.join(", ")})#{prebuilt}"
  exit!(1)
end

require "mkmf"

# A compiler too old for C++17 fails here, rather than deep in make.
cxx17 = <<~CXX
  #include <cstddef>
  #if __cplusplus < 201703L
  #error C++17 required
  #endif
  int main() { constexpr std::size_t n = sizeof(int); static_assert(n > 0); return 0; }
CXX
cxx = MakeMakefile["C++"]
cxx17_works =
  begin
    cxx.try_compile(cxx17, "-std=c++17")
  rescue RuntimeError # mkmf's way of saying no compiler runs at all
    false
  end
unless cxx17_works
  # exit! skips mkmf's own at-exit report, so that this is the one line.
  where, install = CGIEscToolchain.install_hint(headers: false, abi: abi)
  warn "cgiesc needs a C++17 compiler (g++ 7 or clang 5 or newer) as #{CGIEscToolchain.programs(cxx_command).last}; " \
       "#{where}: #{install}#{prebuilt}"
  exit!(1)
end

# The interpreter's headers are not ours to keep -Wextra clean.
$INCFLAGS = $INCFLAGS.gsub(/-I(\$\((?:arch_)?hdrdir\)\S*)/, '-isystem \\1')

# Each of cgiesc's flags goes in only where this compiler or linker takes it
# (for the compiler, a warning counts as a refusal): a toolchain that refuses
# one still builds, without it. The linker is asked through the C++ driver,
# as make links.
$CXXFLAGS << " -std=c++17"
cxxflags, ldflags = CGIEscToolchain.choose_flags(
  compiler: ->(flag) { checking_for("C++ compiler flag #{flag}") { cxx.try_cflags(flag) } },
  linker: ->(flag) { checking_for("linker flag #{flag}") { cxx.try_ldflags(flag) } }
)
$CXXFLAGS << " " << cxxflags.join(" ")
$LDFLAGS << " " << ldflags.join(" ") unless ldflags.empty?

# --disable-simd leaves only the portable kernel, for processors and
# toolchains where the vector kernels cannot be built or trusted.
$defs << "-DCGIESC_NO_SIMD" unless enable_config("simd", true)

# --disable-libruby, for the objects of the platform gems: leave Ruby's C
# API unresolved until load, where the Ruby that loads the object provides
# it, whether that Ruby is built shared or static and whatever its library
# is called (Debian's libruby-3.3.so.3.3, elsewhere libruby.so.3.3).
$LIBRUBYARG = "" unless enable_config("libruby", true)

# --with-max-result=N lowers the longest result from the host's longest
# string, so that tests can reach the length check with small inputs.
max_result = with_config("max-result")
$defs << "-DCGIESC_MAX_RESULT=#{Integer(max_result)}L" if max_result

create_makefile("cgiesc/escape")
