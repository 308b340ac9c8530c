# frozen_string_literal: true

# Installs through Bundler as teams do: from a real private gem server
# (geminabox under puma, in a chroot of its own), on each Ruby, with and
# without a compiler, with lockfiles carried from each Ruby to each other.
# The server is a separate program and loads what it loads; the processes
# here only shell out to gem, Bundler and the app.

require "net/http"
require "socket"

# The server's gems, resolved and fetched on this machine (a chroot may not
# trust the certificate authority on the way to RubyGems), installed in the
# server's chroot with --local.
GEM_SERVER_GEMS = { "geminabox" => "4.0.1", "puma" => "8.0.2" }.freeze

# The server on a current RubyGems, and one on Ruby 3.1's own (3.3.15).
GEM_SERVERS = {
  current: { name: "server-3.3", suite: "trixie", arch: "amd64", ruby: "ruby3.3", packages: %w[ruby3.3-dev],
             role: "gem-server", port: Integer(ENV.fetch("CGIESC_GEM_SERVER_PORT", 9292)) },
  old: { name: "server-3.1", suite: "bookworm", arch: "amd64", ruby: "ruby3.1", packages: %w[ruby3.1-dev],
         role: "gem-server", port: Integer(ENV.fetch("CGIESC_GEM_SERVER_PORT", 9292)) + 1 }
}.freeze

# Each Ruby with a compiler (the build chroots) and without one.
def bundler_clients
  NATIVE_RUBIES.flat_map do |rb|
    [native_target(HOST_ARCH, rb), INSTALL_TARGETS.find { |t| t[:name] == "#{rb[:abi]}-#{HOST_ARCH}" }]
  end
end

# Installed on this machine into a directory of its own, only for the
# .gem files that the install leaves in its cache.
def gem_server_gems
  key = GEM_SERVER_GEMS.map { |name, version| "#{name}-#{version}" }.join(" ")
  dir = File.join(CHROOT_CACHE, "gem-server-gems-#{Digest::SHA256.hexdigest(key)[0, 12]}")
  return dir if File.exist?(File.join(dir, ".complete"))

  rm_rf dir
  sh RUBY, "-S", "gem", "install", "--no-document", "--install-dir", File.join(dir, "fetch"),
     *GEM_SERVER_GEMS.map { |name, version| "#{name}:#{version}" }, out: :err
  mkdir_p File.join(dir, "gems")
  cp Dir[File.join(dir, "fetch", "cache", "*.gem")], File.join(dir, "gems")
  rm_rf File.join(dir, "fetch")
  touch File.join(dir, ".complete")
  dir
end

def gem_server_url(server) = "http://127.0.0.1:#{server[:port]}"

# Starts geminabox with an empty store, yields its address, stops it.
def with_gem_server(server)
  dir = make_chroot(server)
  ruby = server[:ruby]
  unless File.exist?(File.join(dir, "srv", "gems", ".complete"))
    rm_rf File.join(dir, "srv")
    mkdir_p File.join(dir, "srv", "cache")
    cp Dir[File.join(gem_server_gems, "gems", "*.gem")], File.join(dir, "srv", "cache")
    wanted = GEM_SERVER_GEMS.map { |name, version| "#{name}-#{version}.gem" }.join(" ")
    chroot_sh(dir, "cd /srv/cache && #{ruby} -S gem install --local --no-document --install-dir /srv/gems " \
                   "#{wanted} > /dev/null")
    touch File.join(dir, "srv", "gems", ".complete")
  end
  rm_rf File.join(dir, "srv", "data")
  File.write(File.join(dir, "srv", "config.ru"), <<~RUBY)
    require "geminabox"
    Geminabox.data = "/srv/data"
    run Geminabox::Server
  RUBY
  url = gem_server_url(server)
  abort "test:bundler: something already listens on #{url}" if port_open?(server[:port])
  log = File.join(ROOT, "tmp", "#{server[:name]}.log")
  mkdir_p File.dirname(log)
  in_chroot(dir, "cd /srv && GEM_HOME=/srv/gems GEM_PATH=/srv/gems exec #{ruby} /srv/gems/bin/puma " \
                 "--silent -b tcp://127.0.0.1:#{server[:port]} config.ru") do |cmd|
    pid = Process.spawn(*cmd, out: log, err: log, pgroup: true)
    begin
      deadline = Time.now + 120
      sleep 0.5 until port_open?(server[:port]) || Time.now > deadline || Process.wait(pid, Process::WNOHANG)
      abort "test:bundler: the gem server did not start:\n#{File.read(log)}" unless port_open?(server[:port])
      yield url
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

# Pushes the gems with `gem push`, then fetches each back by its own name
# and reads the compact index, from which Bundler installs. A server whose
# RubyGems predates "-gnu" (older than 3.3.23) files such a gem as
# "x86_64-linux", and says nothing. Returns the problems, one line each.
def push_gems(url, gems)
  gems.each do |g|
    out = IO.popen({ "GEM_HOST_API_KEY" => ENV.fetch("GEM_HOST_API_KEY", "none") },
                   [RUBY, "-S", "gem", "push", "--host", url, g], err: %i[child out], &:read)
    abort "gem push #{File.basename(g)} to #{url} failed:\n#{out}" unless $?.success?
  end
  info = Net::HTTP.get_response(URI("#{url}/info/cgiesc"))
  listed = info.is_a?(Net::HTTPSuccess) ? info.body.lines.filter_map { |l| l[/\A(\S+) \|/, 1] } : []
  problems = gems.filter_map do |g|
    name = File.basename(g)
    got = Net::HTTP.get_response(URI("#{url}/gems/#{name}"))
    next "#{url}/gems/#{name}: #{got.code}, not the gem pushed" unless got.is_a?(Net::HTTPSuccess) && got.body == File.binread(g)

    spec = Gem::Package.new(g).spec
    entry = spec.original_platform.to_s == "ruby" ? spec.version.to_s : "#{spec.version}-#{spec.original_platform}"
    "#{url}/info/#{spec.name} does not list #{entry}" unless spec.name != "cgiesc" || listed.include?(entry)
  end
  problems << "#{url}/info/cgiesc: #{info.code}" unless info.is_a?(Net::HTTPSuccess)
  problems
end

# Runs test/bundler/cases.rb in a client chroot with the lockfiles.
def bundler_cases(t, url, locks, cases)
  dir = make_chroot(t)
  rm_rf File.join(dir, "bundler-locks")
  cp_r locks, File.join(dir, "bundler-locks")
  cp File.join(ROOT, "test", "bundler", "cases.rb"), File.join(dir, "bundler-cases.rb")
  out, status = chroot_capture_retrying(t, dir, "#{t[:ruby]} /bundler-cases.rb #{url} /bundler-locks #{cases.join(" ")}")
  # What the lock case wrote.
  Dir[File.join(dir, "bundler-locks", "*.lock")].each { |l| cp l, locks, verbose: false } if cases == %w[lock]
  [out.lines.grep(/^bundler: /), status.success?]
end

namespace :test do
  desc "Install the gems of pkg/ through Bundler from a real gem server (geminabox) on each Ruby of the " \
       "platform gems, with and without a compiler, lockfiles carried across; every green install must load"
  task :bundler do
    started = Time.now
    gems = shipped_gems.values
    locks = File.join(ROOT, "tmp", "bundler-locks")
    rm_rf locks
    mkdir_p locks
    clients = bundler_clients
    lines = []
    failed = []
    with_gem_server(GEM_SERVERS[:current]) do |url|
      problems = push_gems(url, gems)
      abort "test:bundler: #{problems.join("\n")}" unless problems.empty?
      puts "bundler: pushed #{gems.map { |g| File.basename(g) }.join(", ")} to geminabox " \
           "#{GEM_SERVER_GEMS["geminabox"]} on Ruby 3.3; each listed under its own platform"
      clients.reject { |t| t.fetch(:compiler, true) }.each do |t|
        out, ok = bundler_cases(t, url, locks, %w[lock])
        lines.concat(out)
        failed << "#{t[:name]} locking" unless ok
      end
      # The Bundler that each lockfile was written with: an older Bundler
      # restarts as that one, fetched from the server.
      bundlers = Dir[File.join(locks, "*.lock")].map { |l| File.read(l)[/^BUNDLED WITH\n\s+(\S+)/, 1] }.uniq
      fetched = File.join(ROOT, "tmp", "bundler-gems")
      mkdir_p fetched
      bundlers.each do |v|
        next if File.exist?(File.join(fetched, "bundler-#{v}.gem"))

        Dir.chdir(fetched) { sh RUBY, "-S", "gem", "fetch", "bundler", "--version", v, out: :err }
      end
      push_gems(url, bundlers.map { |v| File.join(fetched, "bundler-#{v}.gem") })
      names = Dir[File.join(locks, "*.lock")].map { |l| File.basename(l) }
      names = names.sort_by { |n| [n.sub("+arm64", ""), n.include?("+") ? 1 : 0] }
      # A lockfile that adds nothing to another's is run once.
      names = names.uniq { |n| File.read(File.join(locks, n)) }
      cases = %w[fresh force-gem force-global] + names.flat_map { |n| ["thawed:#{n}", "frozen:#{n}"] }
      clients.each do |t|
        # Ruby 3.1's lockfile, locked again for both machines on a later Ruby.
        relock = t[:name].start_with?("3.1") ? [] : %w[relock:3.1.lock]
        out, ok = bundler_cases(t, url, locks, cases + relock)
        lines.concat(out)
        failed << t[:name] unless ok
      end
      # The arm64 gem, once under emulation, from a lockfile written on x86-64.
      arm = INSTALL_TARGETS.find { |t| t[:name] == "3.3-arm64" }
      out, ok = bundler_cases(arm, url, locks, %w[frozen:3.3+arm64.lock])
      lines.concat(out)
      failed << "3.3-arm64" unless ok
    end
    # A server on Ruby 3.1's RubyGems: what a push does, and what Bundler
    # then installs from it. Shown, not required to work.
    with_gem_server(GEM_SERVERS[:old]) do |url|
      problems = push_gems(url, gems)
      lines << "bundler: pushed to geminabox on Ruby 3.1 (RubyGems 3.3.15): " \
               "#{problems.empty? ? "each served and listed under its own name" : problems.join("; ")}\n"
      failed << "the push check found nothing wrong on the old server" if problems.empty?
      old_clients = clients.reject { |t| t.fetch(:compiler, true) || t[:name].start_with?("3.1") }
      old_clients.each { |t| lines.concat(bundler_cases(t, url, locks, %w[fresh]).first.map { |l| l.sub("bundler: ", "bundler: (old server) ") }) }
    end
    puts "", "test:bundler summary:", lines
    puts format("test:bundler: %d cases, %.0f s", lines.count { |l| l.include?(" installs ") || l.include?(" fails ") }, Time.now - started)
    abort "test:bundler failed: #{failed.join(", ")}" unless failed.empty?
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
