# frozen_string_literal: true

# A Windows Ruby, cross-built here from Debian's source package with
# MinGW-w64 and run under Wine, and cgiesc built for it as the ecosystem's
# cross tools build Windows gems: extconf with that Ruby's rbconfig.rb in
# front. The Ruby is cached beside the chroots, keyed by its recipe.

require "digest"
require "etc"
require "open3"

# Beside the chroots; no "cgi" in its path, which the tests would take for
# a foreign CGI library.
WINDOWS_CACHE = ENV.fetch("CGIESC_WINDOWS_CACHE", "/var/cache/windows-ruby")
WINDOWS_HOST = "x86_64-w64-mingw32"
WINDOWS_RUBY_SOURCE = { package: "ruby3.4", version: "3.4.5-1~exp1", suite: "experimental" }.freeze
# What the tests load, and nothing more: the rest of ext/ costs build time.
# Debian has no MinGW OpenSSL, readline, libffi or libyaml anyway.
WINDOWS_RUBY_EXTS = %w[etc objspace stringio json monitor io/console io/wait io/nonblock rbconfig/sizeof
                       pathname ripper strscan].freeze
WINDOWS_RUBY_CONFIGURE = [
  "--build=x86_64-pc-linux-gnu", "--host=#{WINDOWS_HOST}", "--target=#{WINDOWS_HOST}", "--prefix=/ruby",
  "--with-baseruby=/usr/bin/ruby", "--disable-install-doc", "--disable-install-rdoc", "--disable-install-capi",
  "--disable-yjit", "--without-gmp", "--with-ext=#{WINDOWS_RUBY_EXTS.join(",")}",
  # Never an HTML escaper in this Ruby: the sources are gone too.
  "--with-out-ext=cgi/escape,erb/escape",
  "CC=#{WINDOWS_HOST}-gcc-posix", "CXX=#{WINDOWS_HOST}-g++-posix", "AR=#{WINDOWS_HOST}-ar",
  "RANLIB=#{WINDOWS_HOST}-ranlib", "WINDRES=#{WINDOWS_HOST}-windres", "NM=#{WINDOWS_HOST}-nm",
  "STRIP=#{WINDOWS_HOST}-strip", "DLLWRAP=#{WINDOWS_HOST}-dllwrap",
  # No debug information: a 132 MB DLL otherwise, and no test reads it.
  "debugflags=-g0", "optflags=-O2"
].freeze
WINDOWS_PACKAGES = { "#{WINDOWS_HOST}-g++-posix" => "g++-mingw-w64-x86-64-posix", "wine" => "wine64 wine",
                     "dpkg-source" => "dpkg-dev", "autoconf" => "autoconf" }.freeze
WINE_ENV = { "WINEPREFIX" => File.join(WINDOWS_CACHE, "wine"), "WINEDEBUG" => "-all" }.freeze

def windows_line(text) = puts("windows: #{text}")

# "libssp": MinGW's DLLs are copied in (libssp-0.dll alone when the key was
# first written; the key stays, so that caches stay valid).
def windows_recipe
  [*WINDOWS_RUBY_SOURCE.values, *WINDOWS_RUBY_CONFIGURE, "libssp"].join(" ")
end

def windows_ruby_dir
  File.join(WINDOWS_CACHE, "#{WINDOWS_RUBY_SOURCE[:package]}-#{Digest::SHA256.hexdigest(windows_recipe)[0, 12]}")
end

def windows_run(*cmd, env: {}, chdir: ROOT)
  out, status = Open3.capture2e(env, *cmd, chdir: chdir)
  abort "windows: failed: #{cmd.join(" ")}\n#{out.lines.last(40).join}" unless status.success?
  out
end

task "windows:setup" do
  missing = WINDOWS_PACKAGES.reject { |cmd, _| CGIEscToolchain.find_program(cmd) }.values
  install_debian_packages("test:windows", missing) unless missing.empty?
end

# Debian's source package, fetched through an apt configuration of the
# task's own (the system's sources stay as they are).
def fetch_windows_ruby_source(work)
  apt = File.join(work, "apt")
  lists = File.join(apt, "lists")
  mkdir_p File.join(lists, "partial"), verbose: false
  sources = File.join(apt, "sources.list")
  File.write(sources, "deb-src #{debian_mirror} #{WINDOWS_RUBY_SOURCE[:suite]} main\n")
  opts = ["-o", "Dir::Etc::SourceList=#{sources}", "-o", "Dir::Etc::SourceParts=/dev/null",
          "-o", "Dir::State::Lists=#{lists}", "-o", "Acquire::Check-Valid-Until=false", "-q"]
  windows_run("apt-get", *opts, "update")
  src = File.join(work, "src")
  mkdir_p src, verbose: false
  windows_run("apt-get", *opts, "source", "--download-only",
              "#{WINDOWS_RUBY_SOURCE[:package]}=#{WINDOWS_RUBY_SOURCE[:version]}", chdir: src)
  dsc = Dir[File.join(src, "*.dsc")].first
  windows_run("dpkg-source", "-x", dsc, "tree", chdir: src)
  tree = File.join(src, "tree")
  # Ruby's own CGI and ERB go unread, before anything is configured.
  Dir[File.join(tree, "{ext/cgi,ext/erb,lib/cgi*,lib/erb*}")].each { |p| rm_rf p, verbose: false }
  # Debian's patches change configure.ac; make would remake configure anyway.
  windows_run("autoconf", "-o", "configure", chdir: tree)
  tree
end

# The DLLs of MinGW's GCC that the Ruby's programs import (stack protection
# from libssp-0.dll, say) go beside them, as RubyInstaller ships them.
def copy_mingw_dlls(bin)
  loop do
    present = Dir.children(bin).map(&:downcase)
    wanted = Dir[File.join(bin, "*.{exe,dll}")].flat_map { |f| pe_table(f).last }.uniq
    found = wanted.reject { |d| present.include?(d.downcase) }.filter_map do |dll|
      path = windows_run("#{WINDOWS_HOST}-gcc-posix", "-print-file-name=#{dll}").strip
      path if File.file?(path)
    end
    break if found.empty?

    found.each { |path| cp path, bin, verbose: false }
  end
end

def make_windows_ruby
  dir = windows_ruby_dir
  return dir if File.exist?(File.join(dir, ".cgiesc-recipe"))

  abort "windows: making the Windows Ruby needs root (apt, /var/cache)" unless Process.uid.zero?
  Rake::Task["windows:setup"].invoke
  started = Time.now
  work = "#{dir}.new"
  rm_rf work, verbose: false
  tree = fetch_windows_ruby_source(work)
  build = File.join(work, "build")
  mkdir_p build, verbose: false
  # Debian's Ruby would put the default gems into the host's own gem
  # directory as it installs.
  env = { "DEBIAN_DISABLE_RUBYGEMS_INTEGRATION" => "1" }
  windows_run(File.join(tree, "configure"), *WINDOWS_RUBY_CONFIGURE, env: env, chdir: build)
  windows_run("make", "-j#{Etc.nprocessors}", env: env, chdir: build)
  # The tarball has no gems/*.gem to install the bundled gems from; they are
  # unpacked in .bundle/gems. The Ruby lands in work/ruby.
  windows_run("make", "install", "DESTDIR=#{work}", "HAVE_BASERUBY=no", env: env, chdir: build)
  copy_mingw_dlls(File.join(work, "ruby", "bin"))
  %w[src build apt].each { |d| rm_rf File.join(work, d), verbose: false }
  File.write(File.join(work, ".cgiesc-recipe"), "#{windows_recipe}\n")
  mv work, dir, verbose: false
  size = `du -sm #{dir}`.split.first
  warn format("windows: made Ruby %s for Windows (%s) in %.0f s, %s MB", WINDOWS_RUBY_SOURCE[:version], dir,
              Time.now - started, size)
  dir
end

desc "Make the Windows Ruby that test:windows runs under Wine (cached in #{WINDOWS_CACHE})"
task "windows:ruby" do
  puts "windows: Ruby in #{File.join(make_windows_ruby, "ruby")}"
end

CROSS_RBCONFIG = File.join(ROOT, "rakelib", "cross_rbconfig.rb")
WINDOWS_TMP = File.join(ROOT, "tmp", "windows")
WINDOWS_LIB = File.join(WINDOWS_TMP, "lib")
WINDOWS_LIMIT_LIB = File.join(WINDOWS_TMP, "limit-lib")

def windows_ruby_root = File.join(make_windows_ruby, "ruby")

def windows_rbconfig(root = windows_ruby_root)
  Dir[File.join(root, "lib", "ruby", "*", "*-mingw*", "rbconfig.rb")].first or
    abort "windows: no rbconfig.rb in #{root}"
end

# Builds an extension for the Windows Ruby as rake-compiler builds Windows
# gems: extconf under this Ruby with that Ruby's rbconfig.rb in front, then
# make, with the cross compiler that rbconfig.rb names.
def windows_extension(name, *args, extconf: "src/extconf.rb", product: File.basename(EXT))
  build_extension("windows-#{name}", *args, extconf: extconf, product: product,
                  env: { "CGIESC_CROSS_RBCONFIG" => windows_rbconfig }, ruby: [RUBY, "-r", CROSS_RBCONFIG])
end

def wine_env
  env = WINE_ENV.dup
  windows_run("wineboot", "--init", env: env) unless File.directory?(env["WINEPREFIX"])
  env
end

# The DLLs an object imports, and the names it exports.
def pe_table(file)
  dump = windows_run("#{WINDOWS_HOST}-objdump", "-p", file)
  exports = dump[%r{\[Ordinal/Name Pointer\] Table\n(.*?)\n\n}m, 1].to_s.scan(/\]\s+(\S+)/).flatten
  [exports, dump.scan(/DLL Name: (\S+)/).flatten]
end

namespace :windows do
  task compile: "windows:setup" do
    install_extension(windows_extension("build"), File.join(WINDOWS_LIB, "cgiesc", File.basename(EXT)))
    install_extension(windows_extension("limit", "--with-max-result=#{TEST_MAX_RESULT}"),
                      File.join(WINDOWS_LIMIT_LIB, "cgiesc", File.basename(EXT)))
    { "rival" => %w[test/rival rival_escape rival-lib], "erb_standin" => %w[test/erb_standin erb_standin erb-standin-lib] }
      .each do |name, (dir, object, lib)|
      so = "#{object}.#{RbConfig::CONFIG["DLEXT"]}"
      install_extension(windows_extension(name, extconf: "#{dir}/extconf.rb", product: so), File.join(WINDOWS_TMP, lib, so))
    end
  end
end

# Runs test files in one process of the Windows Ruby under Wine; returns
# minitest's counts and the skipped tests' lines, or fails with the output.
def windows_tests(files, ext_dir:, env: {}, what:)
  ruby = File.join(windows_ruby_root, "bin", "ruby.exe")
  includes = [ext_dir, File.join(ROOT, "lib"), File.join(ROOT, "test")].flat_map { |d| ["-I", d] }
  env = wine_env.merge("CGIESC_EXT_DIR" => ext_dir, "CGIESC_HELPER_LIBS" => WINDOWS_TMP, "CGIESC_LIST_SKIPS" => "1",
                       "CGIESC_CHILD_FLAGS" => "--disable-gems").merge(env)
  out, status = Open3.capture2e(env, "wine", ruby, "-w", *includes, "-e",
                                "ARGV.each { |f| require File.expand_path(f) }", *files, chdir: ROOT)
  out = out.delete("\r")
  counts = out[/^\d+ runs, \d+ assertions, \d+ failures, \d+ errors, \d+ skips$/]
  abort "windows: #{what} failed (exit #{status.exitstatus}):\n#{out}" unless status.success? && counts
  [counts, out.lines(chomp: true).grep(/\Askipped: /)]
end

namespace :test do
  desc "The behaviour, limit and concurrency tests in a Windows Ruby under Wine, against cgiesc cross-built for it"
  task windows: "windows:compile" do
    root = windows_ruby_root
    wine = windows_run("wine", "--version", env: wine_env).strip
    version = windows_run("wine", File.join(root, "bin", "ruby.exe"), "--disable-gems", "-e",
                          "print RUBY_VERSION, ' ', RUBY_PLATFORM", env: wine_env)
    ruby = "Ruby #{version} (msvcrt) under Wine #{wine}"

    object = File.join(WINDOWS_LIB, "cgiesc", File.basename(EXT))
    exports, imports = pe_table(object)
    ruby_dll = File.basename(Dir[File.join(root, "bin", "*ruby*.dll")].first)
    system_dlls = %w[KERNEL32.dll msvcrt.dll]
    abort "windows: #{object} exports #{exports.inspect}" unless exports == ["Init_escape"]
    abort "windows: #{object} imports #{imports.inspect}" unless (imports - [ruby_dll, *system_dlls]).empty?
    windows_line "the object exports #{exports.join(", ")}; imports #{imports.join(", ")} (no C++ runtime DLL)"

    skips = []
    run = lambda do |what, files, ext_dir, env = {}|
      counts, skipped = windows_tests(files, ext_dir: ext_dir, env: env, what: what)
      skips |= skipped
      windows_line "#{what}, #{ruby}: #{counts}"
    end
    usable_kernels.each do |kernel|
      run.call("behaviour tests through the #{kernel} kernel", FileList["test/test_*.rb"], WINDOWS_LIB,
               { "CGIESC_KERNEL" => kernel })
    end
    run.call("length-limit tests on a build whose longest result is #{TEST_MAX_RESULT} bytes",
             FileList["test/limit/test_*.rb"], WINDOWS_LIMIT_LIB, { "CGIESC_TEST_MAX_RESULT" => TEST_MAX_RESULT.to_s })
    run.call("threads and Ractors", FileList["test/stress/test_concurrency.rb"], WINDOWS_LIB)
    windows_line "#{skips.size} tests skipped on Windows#{":" unless skips.empty?}"
    skips.each { |line| windows_line "  #{line}" }
  end
end
