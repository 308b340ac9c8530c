# frozen_string_literal: true

# Runs inside a Ruby's chroot: installs cgiesc with Bundler from the gem
# server, case by case, and prints one line for each. Only shells out:
# Bundler and the app are the processes that load anything.
#   ruby cases.rb SERVER LOCKS_DIR CASE...
# A CASE is "fresh", "lock" (writes LOCKS_DIR/ABI.lock and ABI+arm64.lock),
# "force-gem", "force-global", "thawed:NAME", "frozen:NAME" or "relock:NAME",
# where NAME is a lockfile in LOCKS_DIR.
require "open3"
require "fileutils"

SERVER, LOCKS, *CASES = ARGV
ABI = RbConfig::CONFIG.values_at("MAJOR", "MINOR").join(".")
RUBY = "ruby#{ABI}"
# Debian's bundler package where installed, else this Ruby's own Bundler,
# from a copy of its script that names this Ruby, as where it is the default
# Ruby: a Bundler that restarts as the lockfile's version runs the script
# again, and Debian's names the suite's default Ruby (3.3 beside 3.4).
BUNDLE = "/tmp/bundle-#{ABI}"
script = File.exist?("/usr/bin/bundle") ? "/usr/bin/bundle" : "/usr/bin/bundle#{ABI}"
File.write(BUNDLE, File.read(script).sub(/\A#!.*/, "#!#{RbConfig.ruby}"))
File.chmod(0o755, BUNDLE)
APP = "/tmp/bundler-app"
COMPILER = system("command -v g++ > /dev/null") ? "yes" : "no"

# A Bundler older than the lockfile's fetches that version from RubyGems'
# default host and restarts with it: the server here stands in for that
# host, as a mirror does in a shop with only a private server.
MIRROR = "BUNDLE_MIRROR__#{Gem::DEFAULT_HOST.upcase.gsub(".", "__")}/"

def run(*cmd, env: {})
  # With a path (gemstash's /private), a mirror needs the final slash.
  base = { "BUNDLE_SILENCE_ROOT_WARNING" => "1", "BUNDLE_PATH" => "#{APP}/bundle", MIRROR => SERVER.chomp("/") + "/" }
  out, status = Open3.capture2e(base.merge(env), *cmd, chdir: APP)
  # Bundler of Ruby 3.4 warns about constants it redefines in RubyGems 4.
  [out.lines.grep_v(/warning: (already initialized|previous definition)/).join, status.success?]
end

# Asked in an empty app: in one with a lockfile, Bundler would answer as
# the lockfile's version.
FileUtils.rm_rf(APP)
FileUtils.mkdir_p(APP)
BUNDLER = run(BUNDLE, "--version").first[/\d+\.\d+\.\d+/]
VERSIONS = "Ruby #{RUBY_VERSION}, RubyGems #{Gem::VERSION}, Bundler #{BUNDLER}, compiler #{COMPILER}"

def app(lock: nil, gem_options: "")
  FileUtils.rm_rf(APP)
  FileUtils.mkdir_p(APP)
  File.write("#{APP}/Gemfile", "source #{SERVER.dump}\ngem \"cgiesc\"#{gem_options}\n")
  FileUtils.cp(File.join(LOCKS, lock), "#{APP}/Gemfile.lock") if lock
end

# What the lockfile names: its platforms and cgiesc's variants.
def locked
  lock = File.read("#{APP}/Gemfile.lock")
  platforms = lock[/^PLATFORMS\n((?:  .*\n)+)/, 1].split.join(" ")
  variants = lock.scan(/^    cgiesc \(([^)]*)\)/).flatten.join(" ")
  "locks #{variants} for #{platforms}"
end

# Bundler wraps long lines; the reason is the first sentence that says
# what to do.
def reason(out)
  flat = out.gsub(/\n(?=\S)/, " ").gsub(/\s+/, " ")
  flat[/cgiesc needs .*?(?= extconf failed| \*\*\* | Gem files will|\z)/] ||
    flat[/\S+ requires rubygems version .*?current version, [\d.]+/] ||
    out.lines.map(&:strip).find { |l| l.match?(/invalid|Could not find|not found|no longer be found|frozen|Error/i) } ||
    # Else the last line that is not a backtrace.
    out.lines.map(&:strip).reject { |l| l.empty? || l.match?(%r{\A(from )?/}) }.last || "no reason given"
end

# The Bundler that did the work: an older one restarts as the lockfile's,
# when it can fetch that one.
def bundler_ran(out)
  v = out[/Installing Bundler ([\d.]+) and restarting/, 1] or return ""
  out.include?("Going on using bundler") ? " (could not restart as Bundler #{v})" : " (restarted as Bundler #{v})"
end

PROBE = <<~'RUBY'
  require "cgiesc"
  ok = CGI.escapeHTML(%q(<a href='x'>&"</a>)) == "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;"
  abort "wrong result" unless ok
  print Gem.loaded_specs["cgiesc"].full_name, ", native? ", CGIEsc.native?
RUBY

# Installs; after a green install the app must load the gem.
def install(label, env: {})
  out, ok = run(BUNDLE, "install", env: env)
  label += bundler_ran(out)
  tried = out[/^Installing cgiesc \S+(?: \(([^)]+)\)| with (native extensions))/] ? ($1 || "source gem") : "nothing new"
  unless ok
    why = reason(out)
    puts "bundler: #{VERSIONS}, #{label}: install fails (#{tried}): #{why}"
    # Where cgiesc's own install failed, it must say why.
    $failed = true if tried != "nothing new" && why == "no reason given"
    return
  end
  loaded, loads = run(BUNDLE, "exec", RUBY, "-e", PROBE, env: env)
  if loads
    puts "bundler: #{VERSIONS}, #{label}: installs #{tried}, loads yes: #{loaded.lines.last}"
  else
    puts "bundler: #{VERSIONS}, #{label}: installs #{tried}, loads NO: #{reason(loaded)}"
    puts "bundler: a green install that does not load"
    $failed = true
  end
end

CASES.each do |c|
  kind, name = c.split(":", 2)
  case kind
  when "fresh" then app; install("fresh Gemfile")
  when "lock"
    # Written here for the other Rubies: a plain lock, then one that adds
    # the other machine.
    app
    [[[], "#{ABI}.lock"], [%w[--add-platform aarch64-linux-gnu], "#{ABI}+arm64.lock"]].each do |args, file|
      out, ok = run(BUNDLE, "lock", *args)
      abort "bundler: #{VERSIONS}: bundle lock #{args.join(" ")} failed: #{reason(out)}" unless ok
      puts "bundler: #{VERSIONS}, #{["bundle lock", *args].join(" ")}: #{locked}"
      FileUtils.cp("#{APP}/Gemfile.lock", File.join(LOCKS, file))
    end
  when "force-gem" then app(gem_options: ", force_ruby_platform: true"); install("force_ruby_platform: true in the Gemfile")
  when "force-global" then app; install("BUNDLE_FORCE_RUBY_PLATFORM=true", env: { "BUNDLE_FORCE_RUBY_PLATFORM" => "true" })
  when "thawed" then app(lock: name); install("lockfile #{name.chomp(".lock")}")
  when "relock"
    # The way out for a lockfile that names only the source gem.
    app(lock: name)
    out, ok = run(BUNDLE, "lock", "--add-platform", "x86_64-linux-gnu", "aarch64-linux-gnu")
    label = "lockfile #{name.chomp(".lock")}, bundle lock --add-platform x86_64-linux-gnu aarch64-linux-gnu"
    next puts "bundler: #{VERSIONS}, #{label}: fails: #{reason(out)}" unless ok

    install("#{label} (#{locked}), frozen", env: { "BUNDLE_FROZEN" => "true" })
  when "frozen" then app(lock: name); install("lockfile #{name.chomp(".lock")}, frozen", env: { "BUNDLE_FROZEN" => "true" })
  else abort "cases.rb: no case #{c}"
  end
end
exit(!$failed)
