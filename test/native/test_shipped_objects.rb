# frozen_string_literal: true

require "minitest/autorun"
require "fileutils"
require "open3"
require "rubygems/package"
require "tmpdir"
require_relative "../../lib/cgiesc/version"

# The objects inside the platform gems of pkg/ (rake gem:native): one per
# Ruby of the matrix, each fit to land on any glibc system since Debian 12.
class TestShippedObjects < Minitest::Test
  ROOT = File.expand_path("../..", __dir__)
  ABIS = %w[3.1 3.3 3.4].freeze
  # The machines built: all, or those of MACHINES=x86_64,... as rake
  # gem:native was given.
  MACHINES = { "x86_64" => "X86-64", "aarch64" => "AArch64" }
             .select { |cpu, _| ENV["MACHINES"].nil? || ENV["MACHINES"].split(",").include?(cpu) }.freeze

  def readelf(*args)
    out, err, status = Open3.capture3("readelf", *args)
    assert status.success?, err
    out
  end

  def test_every_platform_gem_holds_fit_objects
    specs = Dir[File.join(ROOT, "pkg", "cgiesc-*-linux*.gem")].to_h { |g| [g, Gem::Package.new(g).spec] }
    # As written in the metadata: RubyGems 3.3 reads "x86_64-linux-gnu" as
    # "x86_64-linux".
    platforms = specs.values.map { |spec| spec.original_platform.to_s }
    assert_equal MACHINES.keys.map { |cpu| "#{cpu}-linux-gnu" }.sort, platforms.sort
    assert_equal platforms.map { |p| "cgiesc-#{CGIEsc::VERSION}-#{p}.gem" }.sort, specs.keys.map { |g| File.basename(g) }.sort
    # None for a RubyGems that reads "-gnu" as "-linux" or whose musl
    # support was still unsettled: it takes the source gem.
    %w[3.3.15 3.3.20 3.3.21 3.3.22 3.3.23 3.6.7 4.0.22].each do |v|
      MACHINES.each_key do |cpu|
        takers = specs.values.count do |spec|
          spec.platform.cpu == cpu && spec.required_rubygems_version.satisfied_by?(Gem::Version.new(v))
        end
        assert_equal Gem::Version.new(v) < Gem::Version.new("3.3.23") ? 0 : 1, takers, "#{cpu} gems for RubyGems #{v}"
      end
    end
    specs.each do |path, spec|
      assert_empty spec.extensions, "#{spec.platform}: a platform gem compiles nothing"
      objects = spec.files.grep(/\.so\z/)
      assert_equal ABIS.map { |abi| "lib/cgiesc/#{abi}/escape.so" }, objects.sort
      assert spec.required_ruby_version.satisfied_by?(Gem::Version.new("3.4.7"))
      refute spec.required_ruby_version.satisfied_by?(Gem::Version.new("3.2.9")), "no object for 3.2"
      refute spec.required_ruby_version.satisfied_by?(Gem::Version.new("4.0.0")), "no object for 4.0"
      Dir.mktmpdir do |dir|
        Gem::Package.new(path).extract_files(dir)
        objects.each { |rel| check_object(File.join(dir, rel), MACHINES.fetch(spec.platform.cpu), rel) }
      end
    end
  end

  def check_object(so, machine, what)
    assert_match(/Machine:.*\b#{machine}$/, readelf("-h", so), what)
    refute_match(/\.symtab/, readelf("-S", "-W", so), "#{what} is not stripped")
    needed = readelf("-d", "-W", so).scan(/\(NEEDED\)\s+Shared library: \[([^\]]+)\]/).flatten
    # Ruby's C API comes from whichever Ruby loads it, shared or static.
    # glibc's own loader may be named too: on aarch64 it holds the stack
    # protector's canary.
    assert_equal ["libc.so.6"], needed.grep_v(/\Ald-linux-[\w-]+\.so\.1\z/), "#{what} needs #{needed.join(" ")}"
    assert_includes readelf("--dyn-syms", "-W", so), " UND rb_define_method", what
    versions = readelf("--dyn-syms", "-W", so).scan(/@GLIBC_(\d+(?:\.\d+)+)/).flatten.map { |v| Gem::Version.new(v) }
    assert_operator versions.max, :<=, Gem::Version.new("2.36"), "#{what} needs glibc #{versions.max}"
    exported = readelf("--dyn-syms", "-W", so).lines.grep(/\sGLOBAL\s+DEFAULT\s+\d+\s/).map { |l| l.split.last }
    assert_equal ["Init_escape"], exported, what
    # Nothing of the machine or the moment that built it: no build path
    # (the chroot's /cgiesc, tmp/ship, a checkout) and no debug sections.
    refute_match(%r{/cgiesc/|tmp/ship|#{Regexp.escape(ROOT)}}, File.binread(so), "#{what} holds a build path")
    refute_match(/\.debug_/, readelf("-S", "-W", so), "#{what} holds debug information")
  end
end
