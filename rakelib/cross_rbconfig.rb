# frozen_string_literal: true

# Required (ruby -r) in front of an extconf.rb to build for another Ruby, the
# way rake-compiler cross-builds native gems: that Ruby's rbconfig.rb stands
# in for this one's, and RUBY_VERSION and RUBY_PLATFORM say what it is, so
# that mkmf writes a Makefile for its compiler, headers and library.
# CGIESC_CROSS_RBCONFIG: the target Ruby's rbconfig.rb.

# This Ruby's own first, so that a later require "rbconfig" loads nothing.
require "rbconfig"

target = File.expand_path(ENV.fetch("CGIESC_CROSS_RBCONFIG"))
text = File.read(target)
version = %w[MAJOR MINOR TEENY].map { |k| text[/^\s*CONFIG\["#{k}"\] = "(\d+)"/, 1] }.join(".")
platform = text[/^\s*CONFIG\["arch"\] = "([^"]+)"/, 1]
abort "cross: #{target} names no version or platform" unless version.match?(/\A\d+\.\d+\.\d+\z/) && platform

Object.send(:remove_const, :RbConfig)
Object.send(:remove_const, :RUBY_VERSION)
Object.send(:remove_const, :RUBY_PLATFORM)
RUBY_VERSION = version.freeze
RUBY_PLATFORM = platform.freeze
load target

# This Ruby's mkmf writes the Makefile. Newer Rubies write their library
# path flag without the leading space that older mkmf (3.1's among them)
# needs between the flags it joins.
[RbConfig::CONFIG, RbConfig::MAKEFILE_CONFIG].product(%w[LIBPATHFLAG RPATHFLAG]).each do |config, key|
  flag = config[key]
  config[key] = " #{flag}" if flag && !flag.empty? && !flag.start_with?(" ")
end
