# frozen_string_literal: true

# The tests on the Rubies people run, each in a Debian chroot made with
# mmdebstrap: natively on x86-64, and under qemu-user for arm64 and
# big-endian s390x. The chroots are cached outside the repository, keyed by
# their recipe, so that a second run on the same machine skips the
# bootstrap, and a chroot made beside another of its suite and architecture
# starts as a copy of it. A chroot that cannot be made fails the task.

require "digest"
require "open3"

CHROOT_CACHE = ENV.fetch("CGIESC_CHROOT_CACHE", "/var/cache/cgiesc-chroots")
CHROOT_BASE_PACKAGES = %w[g++ make rake ruby-minitest ca-certificates].freeze

# Each runs the whole `rake test`, and then the hardening tasks named. The
# x86-64 ones have Debian's Bundler too: they are also the build chroots of
# gem:native and the clients with a compiler of test:bundler.
RUBY_TARGETS = [
  { name: "3.3-amd64", suite: "trixie", arch: "amd64", ruby: "ruby3.3", packages: %w[ruby3.3-dev bundler] },
  { name: "3.4-amd64", suite: "sid", arch: "amd64", ruby: "ruby3.4", packages: %w[bundler],
    experimental: %w[ruby3.4 ruby3.4-dev],
    hardening: %w[test:gc test:concurrency test:asan] },
  # Debian's arm64 code signs every return address; qemu's default processor
  # checks each signature with a cipher in software, which makes everything
  # about six times slower. Without it those instructions are no-ops.
  { name: "3.3-arm64", suite: "trixie", arch: "arm64", ruby: "ruby3.3", packages: %w[ruby3.3-dev],
    env: { "QEMU_CPU" => "max,pauth=off" } },
  { name: "3.4-s390x", suite: "sid", arch: "s390x", ruby: "ruby3.4", experimental: %w[ruby3.4 ruby3.4-dev] }
].freeze

HOST_ARCH = "amd64"

# The Debian mirror this machine's own apt uses: never one written here.
def debian_mirror
  return ENV["CGIESC_DEBIAN_MIRROR"] if ENV["CGIESC_DEBIAN_MIRROR"]

  codename = File.read("/etc/os-release")[/^VERSION_CODENAME=(\S+)/, 1]
  stanzas = Dir["/etc/apt/sources.list.d/*.sources"].flat_map { |f| File.read(f).split(/\n\s*\n/) }
  stanzas.each do |s|
    next unless s[/^Suites:(.*)$/, 1].to_s.split.include?(codename)

    uri = s[/^URIs:\s*(\S+)/, 1]
    return uri.chomp("/") if uri
  end
  lines = Dir["/etc/apt/sources.list", "/etc/apt/sources.list.d/*.list"].flat_map { |f| File.readlines(f) }
  lines.each do |l|
    f = l.sub(/\[[^\]]*\]/, "").split
    return f[1].chomp("/") if f[0] == "deb" && f[2] == codename
  end
  abort "rubies: no Debian mirror for #{codename} in this machine's apt sources; set CGIESC_DEBIAN_MIRROR"
end

# What a chroot has installed: the build tools unless the target has none
# (compiler: false), and the target's own packages.
def chroot_packages(t) = (t.fetch(:compiler, true) ? CHROOT_BASE_PACKAGES : []) + t.fetch(:packages, [])

# role: a chroot with the same packages kept apart (a gem server's).
def chroot_recipe(t)
  [t[:suite], t[:arch], *chroot_packages(t).sort,
   "experimental:", *t.fetch(:experimental, []), *(["role:", t[:role]] if t[:role])].join(" ")
end

def chroot_dir(t)
  File.join(CHROOT_CACHE, "#{t[:suite]}-#{t[:arch]}-#{Digest::SHA256.hexdigest(chroot_recipe(t))[0, 12]}")
end

def emulation_setup
  packages = %w[mmdebstrap arch-test qemu-user-static binfmt-support]
  unless system("command -v mmdebstrap arch-test qemu-aarch64-static > /dev/null 2>&1")
    install_debian_packages("rubies", packages)
  end
  binfmt = "/proc/sys/fs/binfmt_misc"
  sh "mount -t binfmt_misc binfmt_misc #{binfmt}" unless File.exist?(File.join(binfmt, "status"))
  %w[aarch64 s390x].each do |a|
    sh "update-binfmts --enable qemu-#{a}" unless File.exist?(File.join(binfmt, "qemu-#{a}"))
  end
end

# Runs a command inside the chroot, with /proc and /dev mounted around it.
def in_chroot(dir, command, env: {})
  mounts = [%W[-t proc proc #{dir}/proc], %W[--bind /dev #{dir}/dev]]
  mounts.each { |m| sh "mount", *m, verbose: false unless system("mountpoint -q #{m.last}") }
  base = { "PATH" => "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME" => "/root",
           "LANG" => "C.UTF-8", "DEBIAN_FRONTEND" => "noninteractive" }
  vars = base.merge(env).map { |k, v| "#{k}=#{v}" }
  yield ["chroot", dir, "env", "-i", *vars, "sh", "-c", command]
ensure
  mounts&.reverse_each { |m| system("umount", "-l", m.last) }
end

def chroot_sh(dir, command, env: {})
  in_chroot(dir, command, env: env) { |cmd| sh(*cmd) }
end

# Chroots of one family (suite, architecture, experimental packages) can be
# made from one another.
def chroot_family(t) = [t[:suite], t[:arch], t.fetch(:experimental, []).sort]

# The made chroot of t's family that differs from t by the fewest packages,
# and its packages; read back from the recipes.
def chroot_base(t)
  want = chroot_packages(t)
  Dir[File.join(CHROOT_CACHE, "#{t[:suite]}-#{t[:arch]}-*/.cgiesc-recipe")].filter_map do |f|
    words = File.read(f).split
    words = words[0...words.index("role:")] if words.include?("role:")
    exp = words.index("experimental:")
    next unless [words[0], words[1], words[exp + 1..].sort] == chroot_family(t)

    [File.dirname(f), words[2...exp]]
  end.min_by { |_, packages| ((packages - want) | (want - packages)).size }
end

def bootstrap_chroot(t, work, mirror)
  rm_rf work
  mkdir_p File.dirname(work)
  # mmdebstrap: apt fetches in parallel, and under emulation the
  # chroot's dpkg runs a few times rather than debootstrap's shell per package.
  # This mirror serves sid and experimental with Release files past their
  # Valid-Until date.
  sh({ "QEMU_CPU" => t.dig(:env, "QEMU_CPU") }.compact, "mmdebstrap", "--quiet", "--mode=root", "--variant=minbase",
     "--aptopt=Acquire::Check-Valid-Until \"false\"", "--arch=#{t[:arch]}",
     "--include=#{chroot_packages(t).join(",")}", t[:suite], work, mirror, out: :err)
  return if t.fetch(:experimental, []).empty?

  File.write(File.join(work, "etc/apt/sources.list.d/experimental.list"), "deb #{mirror} experimental main\n")
  apt = "apt-get -q -o Acquire::Check-Valid-Until=false"
  chroot_sh(work, "#{apt} update > /dev/null && " \
                  "#{apt} install -y -t experimental #{t[:experimental].join(" ")} > /dev/null && " \
                  "apt-get clean && rm -rf /var/lib/apt/lists/*", env: t.fetch(:env, {}))
end

# A copy of a made chroot with the packages that differ installed or purged:
# minutes of unpacking a whole system under emulation saved. False if the
# copy does not come out as the recipe says (a package that the recipe
# wants went with a purge, or a compiler stayed).
def derive_chroot(t, base, base_packages, work)
  rm_rf work
  # -x: not what a task has mounted in the base meanwhile (/proc, /dev).
  sh "cp", "-a", "-x", "--reflink=auto", base, work
  rm_rf [File.join(work, "cgiesc"), File.join(work, ".cgiesc-recipe")]
  want = chroot_packages(t)
  add = want - base_packages
  drop = base_packages - want
  # As mmdebstrap installs: no recommended packages, and none kept for
  # being recommended (Bundler recommends build-essential, which would keep
  # the compiler).
  apt = "apt-get -q -y -o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false " \
        "-o APT::AutoRemove::RecommendsImportant=false -o APT::AutoRemove::SuggestsImportant=false"
  steps = []
  steps << "#{apt} update > /dev/null && #{apt} install #{add.join(" ")} > /dev/null" unless add.empty?
  # What the copy keeps is what a chroot made afresh has: the essential and
  # required packages, apt, the recipe's packages, and what they need
  # (Debian's libruby needs rake), whatever the base's marks say.
  unless drop.empty?
    keep = "$(dpkg-query -W -f '${Package} ${Priority}\\n' | awk '$2 == \"required\" { print $1 }') apt " \
           "#{(want + t.fetch(:experimental, [])).join(" ")}"
    steps << "apt-mark auto $(apt-mark showmanual) > /dev/null && apt-mark manual #{keep} > /dev/null && " \
             "#{apt} autoremove --purge > /dev/null"
  end
  steps << "dpkg-query -W #{(want + t.fetch(:experimental, [])).join(" ")} > /dev/null"
  steps << "for c in #{COMPILERS.join(" ")}; do ! command -v $c > /dev/null || exit 1; done" unless t.fetch(:compiler, true)
  steps << "apt-get clean && rm -rf /var/lib/apt/lists/*"
  in_chroot(work, steps.join(" && "), env: t.fetch(:env, {})) { |cmd| system(*cmd) }
end

def make_chroot(t)
  dir = chroot_dir(t)
  return dir if File.exist?(File.join(dir, ".cgiesc-recipe"))

  abort "rubies: making chroots needs root" unless Process.uid.zero?
  emulation_setup
  work = "#{dir}.new"
  started = Time.now
  base, base_packages = chroot_base(t)
  if base
    how = "from #{File.basename(base)}" if derive_chroot(t, base, base_packages, work)
    warn "rubies: #{t[:name]}: the copy of #{File.basename(base)} is not as the recipe says; bootstrapping" unless how
  end
  unless how
    bootstrap_chroot(t, work, debian_mirror)
    how = "bootstrapped"
  end
  File.write(File.join(work, ".cgiesc-recipe"), chroot_recipe(t) + "\n")
  mv work, dir
  warn format("rubies: made %s (%s) %s in %.0f s", t[:name], chroot_recipe(t), how, Time.now - started)
  dir
end

# What the tests get: the working tree as it is, without build products.
def copy_tree_into(dir)
  dest = File.join(dir, "cgiesc")
  rm_rf dest
  mkdir_p dest
  files = `git -C #{ROOT} ls-files -co --exclude-standard -z`.split("\0").select { |f| File.file?(File.join(ROOT, f)) }
  IO.popen(["tar", "-C", ROOT, "--null", "-T", "-", "-cf", "-"], "r+") do |tar|
    tar.write(files.join("\0"))
    tar.close_write
    IO.popen(["tar", "-C", dest, "-xf", "-"], "w") { |x| IO.copy_stream(tar, x) }
  end
  "/cgiesc"
end

# Under qemu-user a process that forks while other threads run can hang
# for good in the emulator (seen once in six full runs on arm64, in a
# `gem install` child that never reached exec). Emulated commands get a
# time limit and one more try, said loudly; native ones neither. The arm64
# tests take some 13 minutes beside CI's other work on two cores.
EMULATED_LIMIT = Integer(ENV.fetch("CGIESC_EMULATED_LIMIT", 2100))

def emulated?(t) = t[:arch] != HOST_ARCH

def chroot_capture_retrying(t, dir, command, prefix: "")
  return chroot_capture(dir, command, env: t.fetch(:env, {}), prefix: prefix) unless emulated?(t)

  out, status = chroot_capture(dir, command, env: t.fetch(:env, {}), limit: EMULATED_LIMIT, prefix: prefix)
  return [out, status] unless [124, 137].include?(status.exitstatus)

  warn "rubies: #{t[:name]} passed its #{EMULATED_LIMIT} s limit under qemu (an emulator hang); trying once more"
  chroot_capture(dir, command, env: t.fetch(:env, {}), limit: EMULATED_LIMIT, prefix: prefix)
end

# Streams the output (each line after prefix, where targets run side by
# side) and returns it whole, for the target's summary line.
def chroot_capture(dir, command, env: {}, limit: nil, prefix: "")
  in_chroot(dir, command, env: env) do |cmd|
    cmd = ["timeout", "--kill-after=30", limit.to_s, *cmd] if limit
    out = +""
    Open3.popen2e(*cmd) do |_in, io, wait|
      io.each_line do |line|
        $stdout.print prefix + line
        $stdout.flush
        out << line
      end
      [out, wait.value]
    end
  end
end

def summarize(t, dir, out, seconds)
  runs = out.scan(/^(\d+) runs, \d+ assertions, (\d+) failures, (\d+) errors/)
  checks = out.scan(/^(\d+) passed, (\d+) failed/)
  failures = runs.sum { |_, f, e| f.to_i + e.to_i } + checks.sum { |_, f| f.to_i }
  kernels = out.scan(/^behaviour tests through the (\S+) kernel/).flatten.uniq.join(", ")
  kernels += " and the --disable-simd build" if out.include?("behaviour tests on the --disable-simd build")
  version = `chroot #{dir} #{t[:ruby]} -e 'print RUBY_VERSION, " ", RUBY_PLATFORM'`
  cxx = `chroot #{dir} g++ -dumpfullversion`.strip
  format("rubies: %s, Ruby %s, g++ %s, kernels %s, %d runs (%d kernel checks), %d failures, %.0f s",
         t[:arch], version, cxx, kernels, runs.sum { |r, _| r.to_i },
         checks.sum { |p, _| p.to_i }, failures, seconds)
end

# Returns the summary line and whether the target passed.
def run_target(t, prefix: "")
  started = Time.now
  dir = make_chroot(t)
  root = copy_tree_into(dir)
  ruby = t[:ruby]
  tasks = ["test", *t.fetch(:hardening, [])]
  command = "cd #{root} && #{ruby} -S rake #{tasks.join(" ")}"
  out, status = chroot_capture_retrying(t, dir, command, prefix: prefix)
  line = summarize(t, dir, out, Time.now - started)
  line += " (failed: exit #{status.exitstatus})" unless status.success?
  puts line
  [line, status.success?]
end

# Runs each target in turn on one of jobs workers, the emulated (heavy) ones
# first, for they take longest; yields each target to its worker. Returns the
# workers' results in the targets' order.
def in_parallel(targets, jobs, heavy: method(:emulated?))
  queue = Queue.new
  targets.sort_by { |t| heavy.call(t) ? 0 : 1 }.each { |t| queue << t }
  results = {}
  workers = Array.new([jobs, targets.size].min) do
    Thread.new do
      loop do
        t = begin
          queue.pop(true)
        rescue ThreadError
          break
        end
        results[t] = yield(t)
      end
    end
  end
  workers.each(&:join)
  targets.map { |t| results[t] }
end

JOBS = Integer(ENV.fetch("CGIESC_JOBS", 2))

namespace :test do
  desc "The tests on Ruby 3.3 and 3.4 (x86-64), arm64 and s390x (qemu), each in its Debian chroot (ONLY=name,...)"
  task :rubies do
    only = ENV["ONLY"].to_s.split(",")
    targets = RUBY_TARGETS.select { |t| only.empty? || only.include?(t[:name]) }
    abort "rubies: no target named #{only.join(", ")}" if targets.empty?
    results = in_parallel(targets, JOBS) { |t| run_target(t, prefix: JOBS > 1 ? "[#{t[:name]}] " : "") }
    puts results.map(&:first)
    abort "rubies: failed: #{targets.reject.with_index { |_, i| results[i].last }.map { |t| t[:name] }.join(", ")}" \
      unless results.all?(&:last)
  end

  desc "Make the chroots of test:rubies, without running anything in them"
  task "rubies:chroots" do
    RUBY_TARGETS.each { |t| puts "#{t[:name]}: #{make_chroot(t)}" }
  end
end

desc "Make every chroot that the tasks use and this machine lacks, CGIESC_JOBS+1 at a time"
task :chroots do
  builds = NATIVE_MACHINES.values.product(NATIVE_RUBIES).map { |arch, rb| native_target(arch, rb) }
  all = (RUBY_TARGETS + builds + INSTALL_TARGETS + GEM_SERVERS.values).uniq { |t| chroot_dir(t) }
  missing = all.reject { |t| File.exist?(File.join(chroot_dir(t), ".cgiesc-recipe")) }
  next puts "chroots: all #{all.size} made" if missing.empty?

  # Once, before the workers: it may install packages.
  emulation_setup
  started = Time.now
  # A family's chroots in turn, the one with the most packages first: the
  # others are copies of it with packages purged.
  families = missing.group_by { |t| chroot_family(t) }.values.map { |f| f.sort_by { |t| -chroot_packages(t).size } }
  in_parallel(families, JOBS + 1, heavy: ->(f) { emulated?(f.first) }) { |f| f.each { |t| make_chroot(t) } }
  puts format("chroots: made %d of %d in %.0f s", missing.size, all.size, Time.now - started)
end
