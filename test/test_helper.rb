# frozen_string_literal: true

require "minitest/autorun"
require "open3"
require "rbconfig"
require_relative "support/only_ours"
require_relative "support/reference"

Minitest.after_run { OnlyOurs.check! }

# CGIESC_LIST_SKIPS=1: each skipped test and its reason, a line each after
# the run, for the task that counts them.
module Minitest
  class SkipLister < AbstractReporter
    def initialize
      super
      @skips = []
    end

    def record(result)
      @skips << "skipped: #{result.class_name}##{result.name}: #{result.failure.message}" if result.skipped?
    end

    def report = @skips.each { |line| puts line }
  end

  def self.plugin_cgiesc_skips_init(_options)
    reporter << SkipLister.new if ENV["CGIESC_LIST_SKIPS"]
  end
end
Minitest.extensions << "cgiesc_skips"

# Figures that stress tests show after the run: what ran, and what it cost.
REPORT = []
Minitest.after_run { REPORT.each { |line| puts line } }

ROOT = OnlyOurs::ROOT
LIB = File.join(ROOT, "lib")
GUARD = File.join(ROOT, "test", "support", "only_ours.rb")
# Where rake puts the helper extensions (rival-lib, erb-standin-lib): tmp/,
# or those built for another Ruby.
HELPER_LIBS = File.expand_path(ENV.fetch("CGIESC_HELPER_LIBS", File.join(ROOT, "tmp")))
# CGIESC_INSTALLED_GEM: test the gem installed for this Ruby (rake
# test:installed), outside any checkout, instead of a build of this one.
INSTALLED = !ENV["CGIESC_INSTALLED_GEM"].to_s.empty?
# A Windows Ruby (rake test:windows runs one under Wine).
WINDOWS = RbConfig::CONFIG["host_os"].match?(/mingw|mswin/)
# Interpreter flags for the fresh processes of run_ruby, which load nothing
# from gems: --disable-gems where starting RubyGems costs much (a Ruby
# under Wine starts in 1 s with it, 0.2 s without).
CHILD_FLAGS = ENV.fetch("CGIESC_CHILD_FLAGS", "").split

if INSTALLED
  require "cgiesc"
  EXT = $LOADED_FEATURES.grep(%r{/cgiesc/(\d+\.\d+/)?escape\.#{RbConfig::CONFIG["DLEXT"]}\z}).first
  abort "cgiesc: no installed gem's extension loaded" unless EXT && !EXT.start_with?(LIB)
  EXT_DIR = nil
else
  # Where the extension under test lives: lib/ itself, or another build
  # (CGIESC_EXT_DIR, put ahead of lib/ on the load path).
  # Expanded as $LOADED_FEATURES has it (with its drive on Windows).
  EXT_DIR = File.expand_path(ENV.fetch("CGIESC_EXT_DIR", LIB))
  EXT = File.join(EXT_DIR, "cgiesc", "escape.#{RbConfig::CONFIG["DLEXT"]}")
  require "cgiesc"
  abort "cgiesc: the extension did not load from #{EXT}; run `rake compile`" unless $LOADED_FEATURES.include?(EXT)
end

module Helpers
  # Runs Ruby code in a fresh process that loads only this repository's lib
  # and checks at exit that nothing else defining CGI was loaded. Windows
  # writes each newline of a text stream as CRLF: stderr (warnings) is read
  # back as text, and stdout too unless binary, which takes its bytes as
  # they came.
  def run_ruby(code, *args, stdin_data: "", env: {}, chdir: ROOT, load_path: INSTALLED ? [] : [EXT_DIR, LIB].uniq,
               binary: false)
    includes = load_path.flat_map { |dir| ["-I", dir] }
    out, err, status = Open3.capture3(env, RbConfig.ruby, *CHILD_FLAGS, *includes, "-r", GUARD, "-e", code, *args,
                                      stdin_data: stdin_data, chdir: chdir, binmode: true)
    return [out, err, status] unless WINDOWS

    [binary ? out : out.gsub("\r\n", "\n"), err.gsub("\r\n", "\n"), status]
  end

  def escape(str)
    CGI.escapeHTML(str)
  end
end

class Minitest::Test
  include Helpers
end
