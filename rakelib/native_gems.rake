# frozen_string_literal: true

# Platform gems: a precompiled object for every Ruby of the matrix, each
# built in that Ruby's own Debian chroot (see rubies.rake), so that
# installing needs no compiler where one of them fits.

require "rubygems/package"

# One gem per machine, "x86_64-linux-gnu" and "aarch64-linux-gnu", for
# RubyGems 3.3.23 and later: from 3.3.21 RubyGems tells glibc from musl
# (Alpine), and 3.3.23 mended its glibc resolution. An older RubyGems reads
# "-gnu" as "x86_64-linux", so a lockfile written there would name a gem
# that later RubyGems refuse; the requirement keeps those on the source gem
# instead (rake test:bundler runs each lockfile on each Ruby).
NATIVE_MACHINES = { "x86_64" => "amd64", "aarch64" => "arm64" }.freeze
NATIVE_OS = "linux-gnu"
NATIVE_RUBYGEMS = ">= 3.3.23"
# The ABI (major.minor) each object is built for, and the suite that has it.
NATIVE_RUBIES = [
  { abi: "3.1", suite: "bookworm", ruby: "ruby3.1", packages: %w[ruby3.1-dev] },
  { abi: "3.3", suite: "trixie", ruby: "ruby3.3", packages: %w[ruby3.3-dev] },
  { abi: "3.4", suite: "sid", ruby: "ruby3.4", packages: [], experimental: %w[ruby3.4 ruby3.4-dev] }
].freeze
NATIVE_DIR = File.join(ROOT, "tmp", "native")

def native_target(arch, rb)
  t = { name: "#{rb[:abi]}-#{arch}", suite: rb[:suite], arch: arch, ruby: rb[:ruby] }
  # On x86-64, Debian's Bundler too: these are test:bundler's clients with a
  # compiler (and the same chroots as test:rubies).
  packages = rb[:packages] + (arch == HOST_ARCH ? %w[bundler] : [])
  t[:packages] = packages unless packages.empty?
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
def build_native_object(cpu, rb, into: NATIVE_DIR)
  t = native_target(NATIVE_MACHINES.fetch(cpu), rb)
  dir = make_chroot(t)
  root = copy_tree_into(dir)
  script = "cd #{root} && mkdir -p tmp/ship && cd tmp/ship && #{t[:ruby]} ../../src/extconf.rb --disable-libruby > /dev/null && " \
           "make -s > /dev/null && strip --strip-unneeded escape.so"
  chroot_sh(dir, script, env: t.fetch(:env, {}))
  out = File.join(into, cpu, rb[:abi], "escape.so")
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

# Gems are made from a copy of their files with fixed modes, dated by the
# commit: building the same commit again, anywhere and at any time, gives
# the same bytes (RubyGems dates the archives and the metadata by
# SOURCE_DATE_EPOCH).
def source_date_epoch
  ENV.fetch("SOURCE_DATE_EPOCH") { `git -C #{ROOT} log -1 --format=%ct HEAD`.strip }
end

# Packs spec from its files in ROOT, and extra files (path in the gem =>
# file here), into dest.
def package_gem(spec, dest, extra: {})
  stage = File.join(ROOT, "tmp", "stage-#{File.basename(dest, ".gem")}")
  rm_rf stage, verbose: false
  copies = spec.files.to_h { |f| [f, File.join(ROOT, f)] }.merge(extra)
  copies.each do |rel, from|
    to = File.join(stage, rel)
    mkdir_p File.dirname(to), verbose: false
    cp from, to, verbose: false
    File.chmod(rel.start_with?("#{spec.bindir}/") ? 0o755 : 0o644, to)
  end
  spec.files = copies.keys
  epoch = source_date_epoch
  abort "gem: no commit date for SOURCE_DATE_EPOCH" unless epoch.match?(/\A\d+\z/)
  saved = ENV["SOURCE_DATE_EPOCH"]
  ENV["SOURCE_DATE_EPOCH"] = epoch
  spec.date = Time.at(Integer(epoch)).utc
  # Quiet: it would announce the file by a name it may be about to lose.
  file = Gem::DefaultUserInteraction.use_ui(Gem::SilentUI.new) { Dir.chdir(stage) { Gem::Package.build(spec) } }
  mkdir_p File.dirname(dest), verbose: false
  mv File.join(stage, file), dest, verbose: false
  dest
ensure
  ENV["SOURCE_DATE_EPOCH"] = saved
end

def build_source_gem(into: "pkg")
  spec = gemspec
  package_gem(spec, File.join(into, "#{spec.name}-#{spec.version}.gem"))
end

def build_platform_gem(platform, objects, into: "pkg", rubygems: nil)
  spec = gemspec
  extra = objects.to_h { |abi, path| ["lib/cgiesc/#{abi}/escape.so", path] }
  # A string, not a Gem::Platform: the metadata keeps it as given, where an
  # older RubyGems would turn "x86_64-linux-gnu" into "x86_64-linux".
  spec.platform = platform
  spec.extensions = []
  spec.required_ruby_version = native_ruby_requirement
  spec.required_rubygems_version = rubygems if rubygems
  # Named as the metadata says (such a RubyGems names the file "x86_64-linux").
  package_gem(spec, File.join(into, "#{spec.name}-#{spec.version}-#{platform}.gem"), extra: extra)
end

namespace :gem do
  desc "Build into pkg/ the source gem and platform gems for x86-64 and arm64 Linux (glibc), " \
       "each with an object for Ruby #{NATIVE_RUBIES.map { |r| r[:abi] }.join(", ")}"
  task :native do
    # The build's message names the prebuilt gems: it must name these.
    extconf = File.read(File.join(ROOT, "src", "extconf.rb"))
    unless extconf[/PREBUILT_RUBIES = %w\[([^\]]*)\]/, 1].to_s.split == NATIVE_RUBIES.map { |rb| rb[:abi] } &&
           extconf.include?(%(Gem::Version.new("#{NATIVE_RUBYGEMS[/[\d.]+/]}")))
      abort "gem:native: src/extconf.rb names other prebuilt Rubies or RubyGems than #{NATIVE_RUBIES.map { |rb| rb[:abi] }} " \
            "and #{NATIVE_RUBYGEMS}"
    end
    rm_rf "pkg"
    mkdir_p "pkg"
    build_source_gem
    # MACHINES=x86_64 builds just those (and the object test checks those).
    cpus = ENV["MACHINES"]&.split(",") || NATIVE_MACHINES.keys
    cpus.each do |cpu|
      objects = NATIVE_RUBIES.to_h { |rb| [rb[:abi], build_native_object(cpu, rb)] }
      build_platform_gem("#{cpu}-#{NATIVE_OS}", objects, rubygems: NATIVE_RUBYGEMS)
    end
    sums = Dir["pkg/*.gem"].sort.map { |g| "#{Digest::SHA256.file(g).hexdigest}  #{File.basename(g)}\n" }
    File.write("pkg/SHA256SUMS", sums.join)
    puts sums
    sh RUBY, "-w", "test/native/test_shipped_objects.rb"
  end
end

# Chroots with Ruby and no C or C++ compiler at all, to install the
# platform gems as an adopter's slim image would. prebuilt: whether that
# RubyGems takes the platform gem (Ruby 3.1's own is too old for it).
INSTALL_TARGETS = [
  { name: "3.1-amd64", suite: "bookworm", arch: "amd64", ruby: "ruby3.1", cpu: "x86_64",
    packages: %w[ruby3.1-dev ruby-minitest bundler], prebuilt: false },
  { name: "3.3-amd64", suite: "trixie", arch: "amd64", ruby: "ruby3.3", cpu: "x86_64",
    packages: %w[ruby3.3-dev ruby-minitest bundler], prebuilt: true },
  { name: "3.4-amd64", suite: "sid", arch: "amd64", ruby: "ruby3.4", cpu: "x86_64",
    packages: %w[ruby-minitest bundler], experimental: %w[ruby3.4 ruby3.4-dev], prebuilt: true },
  # Ruby 3.1's own RubyGems takes the source gem anyway: its arm64 object is
  # only loaded and tested, in the chroot it was built in, saving a chroot
  # made under emulation.
  { name: "3.1-arm64", suite: "bookworm", arch: "arm64", ruby: "ruby3.1", cpu: "aarch64",
    packages: %w[ruby3.1-dev], env: { "QEMU_CPU" => "max,pauth=off" }, prebuilt: false, compiler: true },
  { name: "3.3-arm64", suite: "trixie", arch: "arm64", ruby: "ruby3.3", cpu: "aarch64",
    packages: %w[ruby3.3-dev ruby-minitest], env: { "QEMU_CPU" => "max,pauth=off" }, prebuilt: true }
].map { |t| { compiler: false }.merge(t) }.freeze

COMPILERS = %w[cc gcc g++ c++ clang clang++ x86_64-linux-gnu-gcc x86_64-linux-gnu-g++ aarch64-linux-gnu-gcc
               aarch64-linux-gnu-g++].freeze

# Debian has no Ruby for musl: this makes the gem command believe it runs on
# musl (as on Alpine), to see which gem it would take there.
PRETEND_MUSL = <<~'RUBY'
  musl = Gem::Platform.new("#{Gem::Platform.local.cpu}-linux-musl")
  Gem::Platform.singleton_class.send(:define_method, :local) { |*| musl }
  Gem.platforms = [Gem::Platform::RUBY, musl]
RUBY

# Proves the compiler absent and defines pick: install cgiesc by name from a
# gem repository, as from a gem server, and say what RubyGems took.
def pick_script(t)
  gem = "#{t[:ruby]} -S gem"
  <<~SH
    set -e
    for c in #{COMPILERS.join(" ")}; do
      if command -v "$c" > /dev/null; then echo "installed: a compiler is present: $c"; exit 1; fi
    done
    echo "installed: no C or C++ compiler (#{COMPILERS.join(", ")}: none found)"
    pick() {
      repo=$1; label=$2; shift 2
      #{gem} uninstall -a -x cgiesc > /dev/null 2>&1 || true
      # A fresh home: RubyGems caches a repository's gem descriptions by its path.
      if env HOME="$(mktemp -d)" "$@" #{gem} install --clear-sources --source "file://$repo/" --no-document cgiesc > /tmp/pick.log 2>&1; then
        picked="installs $(sed -n 's/^Successfully installed //p' /tmp/pick.log)"
      elif grep -q "cgiesc needs a C++17 compiler" /tmp/pick.log; then
        picked="takes the source gem (refused here: no compiler)"
      else
        picked="fails: $(grep -m1 -A1 "ERROR" /tmp/pick.log | sed 's/^ *//; s/^ERROR: *//' | tr '\n' ' ')"
      fi
      echo "platforms: RubyGems $(#{gem} --version) (#{t[:name]}), $label: $picked"
    }
    # Fails unless the last pick matches the pattern.
    expect() {
      case "$picked" in $1) ;; *) echo "installed: expected $1, got: $picked"; exit 1 ;; esac
    }
  SH
end

# Loads the installed gem and runs the behaviour tests against it, outside
# any checkout.
def installed_tests_script(t)
  gem = "#{t[:ruby]} -S gem"
  abi = t[:ruby][/\d+\.\d+/]
  <<~SH
    cd /tmp
    #{t[:ruby]} -e 'require "cgiesc"; so = $LOADED_FEATURES.grep(/escape\\.so/).first
      puts "installed: native? #{"\#{CGIEsc.native?}"}, kernel #{"\#{CGIEsc::KERNEL}"}, from #{"\#{so}"}"
      exit(CGIEsc.native? && so.end_with?("/cgiesc/#{abi}/escape.so"))'
    home=$(dirname "$(dirname "$(#{gem} which cgiesc)")")
    cd /cgiesc-tests
    CGIESC_INSTALLED_GEM=1 CGIESC_ALLOWED_ROOTS="$home" #{t[:ruby]} -w -I test \\
      -e 'ARGV.each { |f| require File.expand_path(f) }' test/test_escape.rb test/test_erb.rb test/test_delegation.rb test/test_wiring.rb
  SH
end

# The platform gem's object for a Ruby whose RubyGems takes the source gem,
# installed from its file as after gem update --system.
def forced_install(t)
  "#{t[:ruby]} -S gem install --local --force --no-document /pkg/cgiesc-*-#{t[:cpu]}-linux-gnu.gem > /dev/null"
end

def installed_gem_script(t, source_gem)
  if t[:compiler]
    return "set -e\n#{t[:ruby]} -S gem uninstall -a -x cgiesc > /dev/null 2>&1 || true\n" \
           "#{forced_install(t)}\n#{installed_tests_script(t)}"
  end

  gem = "#{t[:ruby]} -S gem"
  abi = t[:ruby][/\d+\.\d+/]
  <<~SH
    #{pick_script(t)}
    pick /repo "glibc"
    #{t[:prebuilt] ? %(expect "installs cgiesc-*-#{t[:cpu]}-linux-gnu") : %(expect "takes the source gem*"\n#{forced_install(t)})}
    #{installed_tests_script(t)}
    pick /repo "musl (pretended)" RUBYOPT=-r/pretend_musl.rb
    expect "takes the source gem*"
    #{gem} uninstall -a -x cgiesc > /dev/null 2>&1 || true
    if #{gem} install --local --no-document /pkg/#{source_gem} > /tmp/source-gem.log 2>&1; then
      echo "installed: the source gem installed without a compiler"; exit 1
    fi
    if grep -q "Traceback\\|from .*:in " /tmp/source-gem.log; then cat /tmp/source-gem.log; exit 1; fi
    echo "installed: source gem refused: $(grep "cgiesc needs a C++17 compiler" /tmp/source-gem.log)"
    grep -q "cgiesc needs a C++17 compiler" /tmp/source-gem.log
    # Without Ruby's headers too, where mkmf would stop first: put back at
    # once, whatever the install did, for the chroot is kept.
    hdr=$(#{t[:ruby]} -e 'print RbConfig::CONFIG["rubyhdrdir"]')
    mv "$hdr" "$hdr.hidden"
    if #{gem} install --local --no-document /pkg/#{source_gem} > /tmp/no-headers.log 2>&1; then got=0; else got=1; fi
    mv "$hdr.hidden" "$hdr"
    if [ $got = 0 ]; then echo "installed: the source gem installed without headers"; exit 1; fi
    echo "installed: without headers either: $(grep "cgiesc needs" /tmp/no-headers.log)"
    grep -q "cgiesc needs a C++17 compiler .* and Ruby's headers; .*ruby#{abi}-dev (here: no .*g++, no $hdr/ruby.h)" /tmp/no-headers.log
  SH
end

# A gem repository laid out as a gem server's: its index names each gem by
# the platform string in the gem's metadata.
def gem_repository(dir, gems)
  rm_rf dir
  mkdir_p File.join(dir, "gems")
  gems.each { |g| cp g, File.join(dir, "gems") }
  sh RUBY, "-S", "gem", "generate_index", "--quiet", "--directory", dir
  dir
end

def shipped_gems
  gems = Dir["pkg/cgiesc-*.gem"].to_h { |g| [Gem::Package.new(g).spec.original_platform.to_s, g] }
  abort "no gems in pkg/; run rake gem:native" unless gems.key?("ruby")
  gems
end

# Copies what a chroot needs to install from: the repository, pkg/, the
# tests and the musl pretence.
def stage_install(dir, repos)
  %w[repo repos pkg cgiesc-tests].each { |d| rm_rf File.join(dir, d) }
  repos.each do |name, repo|
    mkdir_p File.dirname(File.join(dir, name))
    cp_r repo, File.join(dir, name)
  end
  cp_r "pkg", dir
  File.write(File.join(dir, "pretend_musl.rb"), PRETEND_MUSL)
  mkdir_p File.join(dir, "cgiesc-tests")
  cp_r File.join(ROOT, "test"), File.join(dir, "cgiesc-tests")
  cp File.join(ROOT, "README.md"), File.join(dir, "cgiesc-tests")
end

# The shipped gem's objects under another platform string, for any RubyGems.
def restamped_gem(path, platform)
  dir = File.join(ROOT, "tmp", "restamp-#{platform}")
  rm_rf dir
  Gem::Package.new(path).extract_files(dir)
  objects = NATIVE_RUBIES.to_h { |rb| [rb[:abi], File.join(dir, "lib", "cgiesc", rb[:abi], "escape.so")] }
  build_platform_gem(platform, objects, into: File.join(ROOT, "tmp", "platform-strings"))
end

namespace :test do
  desc "Install the platform gems in pkg/ by name where no compiler exists and run the behaviour tests " \
       "against them; musl (pretended) must not take them (ONLY=3.3-amd64,...)"
  task :installed do
    gems = shipped_gems
    repo = gem_repository(File.join(ROOT, "tmp", "repo"), gems.values)
    only = ENV["ONLY"].to_s.split(",")
    targets = INSTALL_TARGETS.select { |t| only.empty? || only.include?(t[:name]) }
    results = in_parallel(targets, JOBS) do |t|
      started = Time.now
      dir = make_chroot(t)
      stage_install(dir, "repo" => repo)
      out, status = chroot_capture_retrying(t, dir, installed_gem_script(t, File.basename(gems.fetch("ruby"))),
                                            prefix: "[#{t[:name]}] ")
      runs = out[/^(\d+) runs, \d+ assertions, (\d+) failures, (\d+) errors/]
      took = out[%r{^installed: native\? .*/gems/(cgiesc-[^/]+)/}, 1].to_s
      took += " (forced)" unless t[:prebuilt]
      line = format("installed: %s on %s, %s, %.0f s%s", took, t[:name], runs, Time.now - started,
                    status.success? ? "" : ", FAILED")
      puts line
      [line, status.success?]
    end
    puts results.map(&:first)
    abort "test:installed failed" unless results.all?(&:last)
  end
end

namespace :gem do
  desc "Install x86-64 gems under each platform string, alone and together, with each RubyGems, " \
       "on glibc and on musl (pretended); prints what each took"
  task :platform_strings do
    gems = shipped_gems
    source = gems.fetch("ruby")
    gnu = restamped_gem(gems.fetch("x86_64-linux-gnu"), "x86_64-linux-gnu")
    bare = restamped_gem(gems.fetch("x86_64-linux-gnu"), "x86_64-linux")
    trials = {
      "x86_64-linux-gnu" => [gnu], "x86_64-linux" => [bare], "both" => [gnu, bare],
      "x86_64-linux-gnu for RubyGems #{NATIVE_RUBYGEMS} (shipped)" => [gems.fetch("x86_64-linux-gnu")]
    }
    repos = trials.each_with_index.to_h do |(_, platform_gems), i|
      ["repos/#{i}", gem_repository(File.join(ROOT, "tmp", "repos", i.to_s), [source, *platform_gems])]
    end
    INSTALL_TARGETS.reject { |t| emulated?(t) }.each do |t|
      dir = make_chroot(t)
      stage_install(dir, repos)
      picks = trials.keys.each_with_index.flat_map do |label, i|
        ["pick /repos/#{i} \"#{label}, glibc\"", "pick /repos/#{i} \"#{label}, musl\" RUBYOPT=-r/pretend_musl.rb"]
      end
      _, status = chroot_capture(dir, [pick_script(t), *picks].join("\n"))
      abort "gem:platform_strings: #{t[:name]} failed" unless status.success?
    end
  end
end

desc "Make the chroots of gem:native and test:installed (ARCH=amd64 or arm64: only those)"
task "gem:chroots" do
  builds = NATIVE_MACHINES.values.product(NATIVE_RUBIES).map { |arch, rb| native_target(arch, rb) }
  (builds + INSTALL_TARGETS).select { |t| ENV["ARCH"].nil? || t[:arch] == ENV["ARCH"] }.each do |t|
    puts "#{t[:name]}#{t[:compiler] == false ? " (no compiler)" : ""}: #{make_chroot(t)}"
  end
end
