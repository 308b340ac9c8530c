# frozen_string_literal: true

# Installs through Bundler as teams do: from a real private gem server, in
# a chroot of its own, on each Ruby, with and without a compiler, with
# lockfiles carried from each Ruby to each other. The servers are separate
# programs and load what they load; the processes here only shell out to
# gem, Bundler and the app.

require "json"
require "net/http"
require "socket"
require "yaml"

# Two kinds of server: geminabox serves the compact index that Bundler
# prefers; gemstash serves private gems through the older dependency API,
# which tells Bundler nothing of a gem's RubyGems requirement. Their gems
# are resolved and fetched on this machine (a chroot may not trust the
# certificate authority on the way to RubyGems) and installed in the
# server's chroot with --local.
GEM_SERVER_KINDS = {
  geminabox: { gems: { "geminabox" => "4.0.1", "puma" => "8.0.2" }, path: "" },
  # sqlite3 built against Debian's library rather than its own copy.
  gemstash: { gems: { "gemstash" => "2.8.2" }, path: "/private", first: "sqlite3 -- --enable-system-libraries" }
}.freeze

PORT_BASE = Integer(ENV.fetch("CGIESC_GEM_SERVER_PORT", 9292))
# The servers on a current RubyGems, and one on Ruby 3.1's own (3.3.15).
GEM_SERVERS = {
  current: { name: "server-3.3", suite: "trixie", arch: "amd64", ruby: "ruby3.3",
             packages: %w[ruby3.3-dev libyaml-dev libsqlite3-dev pkgconf], role: "gem-server" },
  old: { name: "server-3.1", suite: "bookworm", arch: "amd64", ruby: "ruby3.1", packages: %w[ruby3.1-dev],
         role: "gem-server" }
}.freeze

# Each Ruby with a compiler (the build chroots) and without one.
def bundler_clients
  NATIVE_RUBIES.flat_map do |rb|
    [native_target(HOST_ARCH, rb), INSTALL_TARGETS.find { |t| t[:name] == "#{rb[:abi]}-#{HOST_ARCH}" }]
  end
end

# Resolves as `gem install` would on this machine and downloads the .gem
# files, building nothing.
FETCH_GEMS = <<~'RUBY'
  require "rubygems/remote_fetcher"
  require "rubygems/request_set"
  dir, *wanted = ARGV
  set = Gem::RequestSet.new(*wanted.map { |w| Gem::Dependency.new(*w.split(":")) })
  set.resolve
  set.sorted_requests.each { |request| request.spec.download(install_dir: dir) }
RUBY

def gem_server_gems(kind)
  gems = GEM_SERVER_KINDS.fetch(kind)[:gems]
  key = gems.map { |name, version| "#{name}-#{version}" }.join(" ")
  dir = File.join(CHROOT_CACHE, "gem-server-gems-#{Digest::SHA256.hexdigest(key)[0, 12]}")
  return dir if File.exist?(File.join(dir, ".complete"))

  rm_rf dir
  sh RUBY, "-e", FETCH_GEMS, File.join(dir, "fetch"), *gems.map { |name, version| "#{name}:#{version}" }
  mkdir_p File.join(dir, "gems")
  cp Dir[File.join(dir, "fetch", "cache", "*.gem")], File.join(dir, "gems")
  rm_rf File.join(dir, "fetch")
  touch File.join(dir, ".complete")
  dir
end

# Starts a server of that kind with an empty store; yields its address and
# the key that pushes to it; stops it.
def with_gem_server(server, kind, port)
  dir = make_chroot(server)
  ruby = server[:ruby]
  spec = GEM_SERVER_KINDS.fetch(kind)
  home = "/srv/#{kind}"
  unless File.exist?(File.join(dir, home, ".complete"))
    rm_rf File.join(dir, home)
    mkdir_p File.join(dir, home, "cache")
    cp Dir[File.join(gem_server_gems(kind), "gems", "*.gem")], File.join(dir, home, "cache")
    install = "#{ruby} -S gem install --local --no-document --install-dir #{home}/gems"
    wanted = spec[:gems].map { |name, version| "#{name}-#{version}.gem" }.join(" ")
    chroot_sh(dir, "cd #{home}/cache && #{"#{install} #{spec[:first]} > /dev/null && " if spec[:first]}" \
                   "#{install} #{wanted} > /dev/null")
    touch File.join(dir, home, ".complete")
  end
  data = "#{home}/data"
  rm_rf File.join(dir, data)
  mkdir_p File.join(dir, data)
  env = "GEM_HOME=#{home}/gems GEM_PATH=#{home}/gems"
  if kind == :geminabox
    File.write(File.join(dir, home, "config.ru"),
               %(require "geminabox"\nGeminabox.data = "#{data}"\nrun Geminabox::Server\n))
    start = "cd #{home} && #{env} exec #{ruby} #{home}/gems/bin/puma --silent -b tcp://127.0.0.1:#{port} config.ru"
  else
    File.write(File.join(dir, home, "config.yml"),
               { base_path: data, db_adapter: "sqlite3", bind: "tcp://127.0.0.1:#{port}" }.to_yaml)
    start = "#{env} exec #{ruby} #{home}/gems/bin/gemstash start --config-file #{home}/config.yml"
    # gemstash pushes with a key it makes; geminabox takes any.
    out = `chroot #{dir} env -i #{env} #{ruby} #{home}/gems/bin/gemstash authorize push --config-file #{home}/config.yml`
    key = out[/\h{32}/] or abort "test:bundler: gemstash made no key: #{out}"
  end
  url = "http://127.0.0.1:#{port}#{spec[:path]}"
  abort "test:bundler: something already listens on 127.0.0.1:#{port}" if port_open?(port)
  log = File.join(ROOT, "tmp", "#{server[:name]}-#{kind}.log")
  mkdir_p File.dirname(log)
  in_chroot(dir, start) do |cmd|
    pid = Process.spawn(*cmd, out: log, err: log, pgroup: true)
    begin
      deadline = Time.now + 120
      sleep 0.5 until port_open?(port) || Time.now > deadline || Process.wait(pid, Process::WNOHANG)
      abort "test:bundler: #{kind} did not start:\n#{File.read(log)}" unless port_open?(port)
      yield url, key || "none"
    ensure
      begin
        Process.kill("TERM", -pid)
        Process.wait(pid)
      rescue Errno::ESRCH, Errno::ECHILD
        nil # it had stopped already
      end
    end
  end
end

def port_open?(port)
  TCPSocket.new("127.0.0.1", port).close
  true
rescue SystemCallError
  false
end

def push_only(url, gems, key)
  gems.each do |g|
    out = IO.popen({ "GEM_HOST_API_KEY" => key }, [RUBY, "-S", "gem", "push", "--host", url, g],
                   err: %i[child out], &:read)
    abort "gem push #{File.basename(g)} to #{url} failed:\n#{out}" unless $?.success? && !out.include?("rror")
  end
end

# Pushes the gems with `gem push`, then fetches each back by its own name
# and reads the index that Bundler installs from (the compact index, else
# the dependency API). A server whose RubyGems predates "-gnu" (older than
# 3.3.23) files such a gem as "x86_64-linux", and says nothing. Returns the
# problems, one line each.
def push_gems(url, gems, key: ENV.fetch("GEM_HOST_API_KEY", "none"))
  push_only(url, gems, key)
  compact = Net::HTTP.get_response(URI("#{url}/versions")).is_a?(Net::HTTPSuccess)
  index = if compact
            info = Net::HTTP.get_response(URI("#{url}/info/cgiesc"))
            info.is_a?(Net::HTTPSuccess) ? info.body.lines.filter_map { |l| l[/\A(\S+) \|/, 1] } : []
          else
            deps = Net::HTTP.get_response(URI("#{url}/api/v1/dependencies.json?gems=cgiesc"))
            JSON.parse(deps.body).map { |d| d["platform"] == "ruby" ? d["number"] : "#{d["number"]}-#{d["platform"]}" }
          end
  gems.filter_map do |g|
    name = File.basename(g)
    got = Net::HTTP.get_response(URI("#{url}/gems/#{name}"))
    next "#{url}/gems/#{name}: #{got.code}, not the gem pushed" unless got.is_a?(Net::HTTPSuccess) && got.body == File.binread(g)

    spec = Gem::Package.new(g).spec
    entry = spec.original_platform.to_s == "ruby" ? spec.version.to_s : "#{spec.version}-#{spec.original_platform}"
    next if spec.name != "cgiesc" || index.include?(entry)

    "#{url}: #{compact ? "the compact index" : "the dependency API"} does not list #{entry} (lists #{index.join(", ")})"
  end
end

# Runs test/bundler/cases.rb in a client chroot with the lockfiles.
def bundler_cases(t, url, locks, cases)
  dir = make_chroot(t)
  rm_rf File.join(dir, "bundler-locks")
  cp_r locks, File.join(dir, "bundler-locks")
  cp File.join(ROOT, "test", "bundler", "cases.rb"), File.join(dir, "bundler-cases.rb")
  out, status = chroot_capture_retrying(t, dir, "#{t[:ruby]} /bundler-cases.rb #{url} /bundler-locks #{cases.join(" ")}",
                                        prefix: "[#{t[:name]}#{", compiler" if t.fetch(:compiler, true)}] ")
  # What the lock case wrote.
  Dir[File.join(dir, "bundler-locks", "*.lock")].each { |l| cp l, locks, verbose: false } if cases == %w[lock]
  [out.lines.grep(/^bundler: /), status.success?]
end

# Collects each case's line, and what failed.
class BundlerRun
  include Rake::DSL

  attr_reader :lines, :failed

  def initialize(clients)
    @clients = clients
    @lines = []
    @failed = []
  end

  def cases(t, url, locks, cases, label: nil)
    @lines.concat(cases_of(t, url, locks, cases, label: label))
  end

  # The clients two at a time, their lines in the clients' order.
  def cases_in_parallel(targets, url, locks, label: nil, &cases)
    in_parallel(targets, JOBS) { |t| cases_of(t, url, locks, cases.call(t), label: label) }.each { |l| @lines.concat(l) }
  end

  def compilerless = @clients.reject { |t| t.fetch(:compiler, true) }

  # Pushes the gems, then writes a lockfile on each Ruby and pushes the
  # Bundler each was written with (an older Bundler restarts as that one,
  # fetched through the server). Returns the lockfiles' directory and
  # names, one of each content, plain before "+arm64".
  def serve(url, key, gems, kind, label: nil)
    problems = push_gems(url, gems, key: key)
    abort "test:bundler: #{problems.join("\n")}" unless problems.empty?
    @lines << "bundler: pushed #{gems.map { |g| File.basename(g) }.join(", ")} to #{kind} " \
              "#{GEM_SERVER_KINDS[kind][:gems][kind.to_s]}: each served by its name and indexed under its platform\n"
    locks = File.join(ROOT, "tmp", "bundler-locks-#{kind}")
    rm_rf locks
    mkdir_p locks
    compilerless.each { |t| cases(t, url, locks, %w[lock], label: label) }
    versions = Dir[File.join(locks, "*.lock")].map { |l| File.read(l)[/^BUNDLED WITH\n\s+(\S+)/, 1] }.uniq
    fetched = File.join(ROOT, "tmp", "bundler-gems")
    mkdir_p fetched
    versions.each do |v|
      next if File.exist?(File.join(fetched, "bundler-#{v}.gem"))

      Dir.chdir(fetched) { sh RUBY, "-S", "gem", "fetch", "bundler", "--version", v, out: :err }
    end
    push_only(url, versions.map { |v| File.join(fetched, "bundler-#{v}.gem") }, key)
    names = Dir[File.join(locks, "*.lock")].map { |l| File.basename(l) }
    names = names.sort_by { |n| [n.sub("+arm64", ""), n.include?("+") ? 1 : 0] }
    [locks, names.uniq { |n| File.read(File.join(locks, n)) }]
  end

  private

  def cases_of(t, url, locks, cases, label: nil)
    out, ok = bundler_cases(t, url, locks, cases)
    @failed << [t[:name], label].compact.join(" ") unless ok
    label ? out.map { |l| l.sub("bundler: ", "bundler: (#{label}) ") } : out
  end
end

namespace :test do
  desc "Install the gems of pkg/ through Bundler from real gem servers (geminabox, gemstash) on each Ruby of " \
       "the platform gems, with and without a compiler, lockfiles carried across; every green install must load"
  task :bundler do
    started = Time.now
    gems = shipped_gems.values
    run = BundlerRun.new(bundler_clients)
    # geminabox: the whole matrix.
    with_gem_server(GEM_SERVERS[:current], :geminabox, PORT_BASE) do |url, key|
      locks, names = run.serve(url, key, gems, :geminabox)
      cases = %w[fresh force-gem force-global] + names.flat_map { |n| ["thawed:#{n}", "frozen:#{n}"] }
      # Ruby 3.1's lockfile, locked again for both machines on a later Ruby.
      run.cases_in_parallel(bundler_clients, url, locks) do |t|
        cases + (t[:name].start_with?("3.1") ? [] : %w[relock:3.1.lock])
      end
      # The arm64 gem, once under emulation, from a lockfile written on x86-64.
      run.cases(INSTALL_TARGETS.find { |t| t[:name] == "3.3-arm64" }, url, locks, %w[frozen:3.3+arm64.lock])
    end
    # gemstash: a fresh Gemfile and each Ruby's lockfile, frozen, without a
    # compiler, where Bundler learns of the RubyGems requirement late.
    with_gem_server(GEM_SERVERS[:current], :gemstash, PORT_BASE + 1) do |url, key|
      locks, names = run.serve(url, key, gems, :gemstash, label: "gemstash")
      run.cases_in_parallel(run.compilerless, url, locks, label: "gemstash") { %w[fresh] + names.map { |n| "frozen:#{n}" } }
    end
    # A server on Ruby 3.1's RubyGems: what a push does, and what Bundler
    # then installs from it. Shown; only a green install that fails to
    # load fails the task.
    with_gem_server(GEM_SERVERS[:old], :geminabox, PORT_BASE + 2) do |url, key|
      problems = push_gems(url, gems, key: key)
      run.lines << "bundler: pushed to geminabox on Ruby 3.1 (RubyGems 3.3.15): " \
                   "#{problems.empty? ? "each served and indexed under its own name" : problems.join("; ")}\n"
      run.failed << "the push check found nothing wrong on the old server" if problems.empty?
      run.compilerless.reject { |t| t[:name].start_with?("3.1") }.each do |t|
        run.cases(t, url, File.join(ROOT, "tmp", "bundler-locks-geminabox"), %w[fresh], label: "old server")
      end
    end
    puts "", "test:bundler summary:", run.lines
    count = run.lines.count { |l| l.include?(": installs ") || l.include?(": install fails ") }
    puts format("test:bundler: %d installs, %.0f s", count, Time.now - started)
    abort "test:bundler failed: #{run.failed.join(", ")}" unless run.failed.empty?
  end
end

namespace :gem do
  desc "Push the gems of pkg/ to a private gem server (GEM_HOST=url) and check that it lists each under " \
       "its own platform"
  task :push do
    url = ENV.fetch("GEM_HOST") { abort "gem:push: set GEM_HOST to the server's address" }
    problems = push_gems(url, shipped_gems.values)
    unless problems.empty?
      abort "gem:push: #{url} does not serve the gems as pushed (a server on RubyGems older than 3.3.23 " \
            "files \"-gnu\" gems under another name):\n#{problems.join("\n")}"
    end
    puts "gem:push: #{url} lists each gem under its own platform"
  end
end
