# frozen_string_literal: true

# Platform gems: a precompiled object for every Ruby of the matrix, each
# built in that Ruby's own Debian chroot (see rubies.rake), so that
# installing needs no compiler where one of them fits.

require "rubygems/package"

NATIVE_PLATFORMS = { "x86_64-linux" => "amd64", "aarch64-linux" => "arm64" }.freeze
# The ABI (major.minor) each object is built for, and the suite that has it.
NATIVE_RUBIES = [
  { abi: "3.1", suite: "bookworm", ruby: "ruby3.1", packages: %w[ruby3.1-dev] },
  { abi: "3.3", suite: "trixie", ruby: "ruby3.3", packages: %w[ruby3.3-dev] },
  { abi: "3.4", suite: "sid", ruby: "ruby3.4", experimental: %w[ruby3.4 ruby3.4-dev] }
].freeze
NATIVE_DIR = File.join(ROOT, "tmp", "native")

def native_target(arch, rb)
  t = { name: "#{rb[:abi]}-#{arch}", suite: rb[:suite], arch: arch, ruby: rb[:ruby] }
  t[:packages] = rb[:packages] if rb[:packages]
  t[:experimental] = rb[:experimental] if rb[:experimental]
  # As in rubies.rake: qemu's software pointer authentication is slow.
  t[:env] = { "QEMU_CPU" => "max,pauth=off" } if arch == "arm64"
  t
end

# Exactly the Rubies with an object: 3.2 is not among them.
def native_ruby_requirement
  [">= #{NATIVE_RUBIES.first[:abi]}", "< 3.5.dev", *(0..20).map { |patch| "!= 3.2.#{patch}" }]
end

# Builds, strips and copies out one object; returns its path.
def build_native_object(platform, rb)
  t = native_target(NATIVE_PLATFORMS.fetch(platform), rb)
  dir = make_chroot(t)
  root = copy_tree_into(dir)
  script = "cd #{root} && mkdir -p tmp/ship && cd tmp/ship && #{t[:ruby]} ../../src/extconf.rb --disable-libruby > /dev/null && " \
           "make -s > /dev/null && strip --strip-unneeded escape.so"
  chroot_sh(dir, script, env: t.fetch(:env, {}))
  out = File.join(NATIVE_DIR, platform, rb[:abi], "escape.so")
  mkdir_p File.dirname(out)
  cp File.join(dir, "cgiesc", "tmp", "ship", "escape.so"), out
  out
end

# The gem's description, evaluated afresh each time, so that the platform
# gems can change their copy.
def gemspec
  path = File.join(ROOT, "cgiesc.gemspec")
  Dir.chdir(ROOT) { eval(File.read(path), TOPLEVEL_BINDING, path) } # rubocop:disable Security/Eval
end

def build_platform_gem(platform, objects)
  spec = gemspec
  stage = File.join(ROOT, "tmp", "gem-#{platform}")
  rm_rf stage
  spec.files.each do |f|
    mkdir_p File.join(stage, File.dirname(f)), verbose: false
    cp File.join(ROOT, f), File.join(stage, f), verbose: false
  end
  shipped = objects.map do |abi, path|
    rel = "lib/cgiesc/#{abi}/escape.so"
    mkdir_p File.join(stage, File.dirname(rel)), verbose: false
    cp path, File.join(stage, rel), verbose: false
    rel
  end
  spec.files = spec.files + shipped
  spec.platform = Gem::Platform.new(platform)
  spec.extensions = []
  spec.required_ruby_version = native_ruby_requirement
  file = Dir.chdir(stage) { Gem::Package.build(spec) }
  mkdir_p "pkg"
  mv File.join(stage, file), File.join("pkg", file)
  File.join("pkg", file)
end

namespace :gem do
  desc "Build into pkg/ the source gem and platform gems for x86-64 and arm64 Linux (glibc), " \
       "each with an object for Ruby #{NATIVE_RUBIES.map { |r| r[:abi] }.join(", ")}"
  task :native do
    rm_rf "pkg"
    mkdir_p "pkg"
    version = gemspec.version
    sh RUBY, "-S", "gem", "build", "cgiesc.gemspec", "--output", "pkg/cgiesc-#{version}.gem", out: :err
    # PLATFORMS=x86_64-linux builds just those (the object test then fails).
    platforms = ENV["PLATFORMS"]&.split(",") || NATIVE_PLATFORMS.keys
    platforms.each do |platform|
      objects = NATIVE_RUBIES.to_h { |rb| [rb[:abi], build_native_object(platform, rb)] }
      build_platform_gem(platform, objects)
    end
    sums = Dir["pkg/*.gem"].sort.map { |g| "#{Digest::SHA256.file(g).hexdigest}  #{File.basename(g)}\n" }
    File.write("pkg/SHA256SUMS", sums.join)
    puts sums
    sh RUBY, "-w", "test/native/test_shipped_objects.rb"
  end
end

# Chroots with Ruby and no C or C++ compiler at all, to install the
# platform gems as an adopter's slim image would.
INSTALL_TARGETS = [
  { name: "3.1-amd64", suite: "bookworm", arch: "amd64", ruby: "ruby3.1", platform: "x86_64-linux",
    packages: %w[ruby3.1-dev ruby-minitest] },
  { name: "3.3-amd64", suite: "trixie", arch: "amd64", ruby: "ruby3.3", platform: "x86_64-linux",
    packages: %w[ruby3.3-dev ruby-minitest] },
  { name: "3.4-amd64", suite: "sid", arch: "amd64", ruby: "ruby3.4", platform: "x86_64-linux",
    packages: %w[ruby-minitest], experimental: %w[ruby3.4 ruby3.4-dev] },
  { name: "3.3-arm64", suite: "trixie", arch: "arm64", ruby: "ruby3.3", platform: "aarch64-linux",
    packages: %w[ruby3.3-dev ruby-minitest], env: { "QEMU_CPU" => "max,pauth=off" } }
].map { |t| t.merge(compiler: false) }.freeze

COMPILERS = %w[cc gcc g++ c++ clang clang++ x86_64-linux-gnu-gcc x86_64-linux-gnu-g++ aarch64-linux-gnu-gcc
               aarch64-linux-gnu-g++].freeze

def installed_gem_script(t, gems)
  gem = "#{t[:ruby]} -S gem"
  platform_gem = File.basename(gems.fetch(t[:platform]))
  source_gem = File.basename(gems.fetch("ruby"))
  <<~SH
    set -e
    for c in #{COMPILERS.join(" ")}; do
      if command -v "$c" > /dev/null; then echo "installed: a compiler is present: $c"; exit 1; fi
    done
    echo "installed: no C or C++ compiler (#{COMPILERS.join(", ")}: none found)"
    #{gem} uninstall -a -x cgiesc > /dev/null 2>&1 || true
    #{gem} install --local --no-document /pkg/#{platform_gem}
    cd /tmp
    #{t[:ruby]} -e 'require "cgiesc"; puts "installed: native? #{"\#{CGIEsc.native?}"}, kernel #{"\#{CGIEsc::KERNEL}"}, " \\
      "from #{"\#{$LOADED_FEATURES.grep(/escape\\.so/).first}"}"'
    home=$(dirname "$(dirname "$(#{gem} which cgiesc)")")
    cd /cgiesc-tests
    CGIESC_INSTALLED_GEM=1 CGIESC_ALLOWED_ROOTS="$home" #{t[:ruby]} -w -I test \\
      -e 'ARGV.each { |f| require File.expand_path(f) }' test/test_escape.rb test/test_delegation.rb test/test_wiring.rb
    #{gem} uninstall -a -x cgiesc > /dev/null
    if #{gem} install --local --no-document /pkg/#{source_gem} > /tmp/source-gem.log 2>&1; then
      echo "installed: the source gem installed without a compiler"; exit 1
    fi
    if grep -q "Traceback\\|from .*:in " /tmp/source-gem.log; then cat /tmp/source-gem.log; exit 1; fi
    echo "installed: source gem refused: $(grep "cgiesc needs a C++17 compiler" /tmp/source-gem.log)"
    grep -q "cgiesc needs a C++17 compiler" /tmp/source-gem.log
  SH
end

namespace :test do
  desc "Install the platform gems in pkg/ where no compiler exists and run the behaviour tests against them " \
       "(ONLY=3.3-amd64,...)"
  task :installed do
    gems = Dir["pkg/cgiesc-*.gem"].to_h { |g| [Gem::Package.new(g).spec.platform.to_s, g] }
    abort "test:installed: no gems in pkg/; run rake gem:native" unless gems.key?("ruby")
    only = ENV["ONLY"].to_s.split(",")
    INSTALL_TARGETS.select { |t| only.empty? || only.include?(t[:name]) }.each do |t|
      started = Time.now
      dir = make_chroot(t)
      %w[pkg cgiesc-tests].each { |d| rm_rf File.join(dir, d) }
      mkdir_p File.join(dir, "pkg")
      gems.each_value { |g| cp g, File.join(dir, "pkg") }
      mkdir_p File.join(dir, "cgiesc-tests")
      cp_r File.join(ROOT, "test"), File.join(dir, "cgiesc-tests")
      cp File.join(ROOT, "README.md"), File.join(dir, "cgiesc-tests")
      out, status = chroot_capture_retrying(t, dir, installed_gem_script(t, gems))
      runs = out[/^(\d+) runs, \d+ assertions, (\d+) failures, (\d+) errors/]
      line = format("installed: %s on %s, %s, %.0f s", File.basename(gems.fetch(t[:platform])), t[:name], runs,
                    Time.now - started)
      puts line
      abort "#{line}\ntest:installed: #{t[:name]} failed" unless status.success?
    end
  end
end

desc "Make the chroots of gem:native and test:installed (ARCH=amd64 or arm64: only those)"
task "gem:chroots" do
  builds = NATIVE_PLATFORMS.values.product(NATIVE_RUBIES).map { |arch, rb| native_target(arch, rb) }
  (builds + INSTALL_TARGETS).select { |t| ENV["ARCH"].nil? || t[:arch] == ENV["ARCH"] }.each do |t|
    puts "#{t[:name]}#{t[:compiler] == false ? " (no compiler)" : ""}: #{make_chroot(t)}"
  end
end
