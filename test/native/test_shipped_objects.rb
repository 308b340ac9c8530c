# frozen_string_literal: true

require "minitest/autorun"
require "fileutils"
require "open3"
require "rubygems/package"
require "tmpdir"

# The objects inside the platform gems of pkg/ (rake gem:native): one per
# Ruby of the matrix, each fit to land on any glibc system since Debian 12.
class TestShippedObjects < Minitest::Test
  ROOT = File.expand_path("../..", __dir__)
  ABIS = %w[3.1 3.3 3.4].freeze
  MACHINES = { "x86_64-linux" => "X86-64", "aarch64-linux" => "AArch64" }.freeze

  def readelf(*args)
    out, err, status = Open3.capture3("readelf", *args)
    assert status.success?, err
    out
  end

  def test_every_platform_gem_holds_fit_objects
    gems = Dir[File.join(ROOT, "pkg", "cgiesc-*-linux.gem")]
    assert_equal MACHINES.keys.sort, gems.map { |g| Gem::Package.new(g).spec.platform.to_s }.sort
    gems.each do |path|
      spec = Gem::Package.new(path).spec
      assert_empty spec.extensions, "#{spec.platform}: a platform gem compiles nothing"
      objects = spec.files.grep(/\.so\z/)
      assert_equal ABIS.map { |abi| "lib/cgiesc/#{abi}/escape.so" }, objects.sort
      assert spec.required_ruby_version.satisfied_by?(Gem::Version.new("3.4.7"))
      refute spec.required_ruby_version.satisfied_by?(Gem::Version.new("3.2.9")), "no object for 3.2"
      refute spec.required_ruby_version.satisfied_by?(Gem::Version.new("4.0.0")), "no object for 4.0"
      Dir.mktmpdir do |dir|
        Gem::Package.new(path).extract_files(dir)
        objects.each { |rel| check_object(File.join(dir, rel), MACHINES.fetch(spec.platform.to_s), rel) }
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
  end
end
