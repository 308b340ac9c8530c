# frozen_string_literal: true

require "minitest/autorun"
require "open3"
require "rbconfig"
require_relative "support/only_ours"
require_relative "support/reference"

Minitest.after_run { OnlyOurs.check! }

# Figures that stress tests show after the run: what ran, and what it cost.
REPORT = []
Minitest.after_run { REPORT.each { |line| puts line } }

ROOT = OnlyOurs::ROOT
LIB = File.join(ROOT, "lib")
GUARD = File.join(ROOT, "test", "support", "only_ours.rb")
# CGIESC_INSTALLED_GEM: test the gem installed for this Ruby (rake
# test:installed), outside any checkout, instead of a build of this one.
INSTALLED = !ENV["CGIESC_INSTALLED_GEM"].to_s.empty?

if INSTALLED
  require "cgiesc"
  EXT = $LOADED_FEATURES.grep(%r{/cgiesc/(\d+\.\d+/)?escape\.#{RbConfig::CONFIG["DLEXT"]}\z}).first
  abort "cgiesc: no installed gem's extension loaded" unless EXT && !EXT.start_with?(LIB)
  EXT_DIR = nil
else
  # Where the extension under test lives: lib/ itself, or another build
  # (CGIESC_EXT_DIR, put ahead of lib/ on the load path).
  EXT_DIR = ENV.fetch("CGIESC_EXT_DIR", LIB)
  EXT = File.join(EXT_DIR, "cgiesc", "escape.#{RbConfig::CONFIG["DLEXT"]}")
  require "cgiesc"
  abort "cgiesc: the extension did not load from #{EXT}; run `rake compile`" unless $LOADED_FEATURES.include?(EXT)
end

module Helpers
  # Runs Ruby code in a fresh process that loads only this repository's lib
  # and checks at exit that nothing else defining CGI was loaded.
  def run_ruby(code, *args, stdin_data: "", env: {}, chdir: ROOT, load_path: INSTALLED ? [] : [EXT_DIR, LIB].uniq)
    includes = load_path.flat_map { |dir| ["-I", dir] }
    Open3.capture3(env, RbConfig.ruby, *includes, "-r", GUARD, "-e", code, *args,
                   stdin_data: stdin_data, chdir: chdir, binmode: true)
  end

  def escape(str)
    CGI.escapeHTML(str)
  end
end

class Minitest::Test
  include Helpers
end
