# frozen_string_literal: true

# lib/'s Ruby-level wiring on an interpreter that loads no native extension
# (Ruby's WebAssembly build). Each case runs in a fresh interpreter, with
# test/wasm/standin in place of the extension and of the other libraries'
# native methods, and prints "ok CASE: CHECK" or "FAIL CASE: CHECK (...)"
# for each check. rake test:ruby40 runs them and counts.
require "fileutils"
require "stringio"

STAGE = File.expand_path("../..", __dir__)
$LOAD_PATH.unshift(File.join(STAGE, "test", "wasm", "standin"), File.join(STAGE, "lib"))
require_relative "../support/only_ours"

module WasmWiring
  LIKE = File.join(STAGE, "test", "support", "erb_like")
  # What each stand-in gives for "<": the extension's CGI escape (String),
  # its ERB escape (Array), the rival's (===) and ERB's native (==).
  CGIESC = "<"
  CGIESC_ERB = ["<"].freeze
  OTHER = false

  module_function

  def check(name, label, actual, expected)
    ok = expected.is_a?(Regexp) ? expected.match?(actual.to_s) : actual == expected
    puts "#{ok ? "ok" : "FAIL"} #{name}: #{label}#{" (got #{actual.inspect}, expected #{expected.inspect})" unless ok}"
  end

  # cgiesc's own warnings while the block runs with $VERBOSE as given.
  def cgiesc_warnings(verbose)
    err = $stderr
    was = $VERBOSE
    $stderr = StringIO.new
    $VERBOSE = verbose
    yield
    $stderr.string.lines(chomp: true).grep(/\Acgiesc:/)
  ensure
    $stderr = err
    $VERBOSE = was
  end

  def finish(name)
    check name, "nothing else defining CGI or ERB was loaded", OnlyOurs.foreign_features, []
  end

  def loads
    require "cgiesc"
    name = "loads"
    check name, "the loader required the extension (no prebuilt objects in a source gem)",
          $LOADED_FEATURES.grep(%r{standin/cgiesc/escape\.rb\z}).size, 1
    check name, "CGIEsc.native?", CGIEsc.native?, true
    check name, "CGI.escapeHTML reaches the extension's method", CGI.escapeHTML("<"), CGIESC
    check name, "so does a class including CGI::Util", Class.new { include CGI::Util }.new.escapeHTML("<"), CGIESC
    check name, "CGI::Util's lookup starts with CGI::Escape", CGI::Util.ancestors.take(2), [CGI::Escape, CGI::Util]
    check name, "cgiesc alone leaves ERB undefined", defined?(ERB), nil
    finish name
  end

  # A platform gem's objects are for Ruby 3.1, 3.3 and 3.4 only: on 4.0 its
  # loader must say so, and the gem's requirement must keep it off 4.0 (the
  # source gem's takes it).
  def platform_gem(platform_requirement)
    name = "platform gem"
    lib = File.join(STAGE, "platform-gem", "lib")
    FileUtils.mkdir_p(lib)
    FileUtils.cp_r(File.join(STAGE, "lib", "."), lib)
    %w[3.1 3.3 3.4].each do |abi|
      dir = File.join(lib, "cgiesc", abi)
      FileUtils.mkdir_p(dir)
      File.write(File.join(dir, "escape.#{RbConfig::CONFIG["DLEXT"]}"), "")
    end
    error = begin
      load File.join(lib, "cgiesc.rb")
      nil
    rescue LoadError => e
      e.message
    end
    check name, "its loader on Ruby #{RUBY_VERSION} names its Rubies and the source gem", error,
          /prebuilt objects for Ruby 3\.1, 3\.3, 3\.4, none for Ruby 4\.0; .*gem install cgiesc --platform ruby\z/
    # This build starts without RubyGems.
    require "rubygems"
    ruby = Gem::Version.new(RUBY_VERSION)
    check name, "its Ruby requirement (#{platform_requirement}) keeps it off #{RUBY_VERSION}",
          Gem::Requirement.new(*platform_requirement.split(", ")).satisfied_by?(ruby), false
    gemspec = File.join(STAGE, "cgiesc.gemspec")
    source = eval(File.read(gemspec), TOPLEVEL_BINDING, gemspec) # rubocop:disable Security/Eval
    check name, "the source gem's requirement (#{source.required_ruby_version}) takes #{RUBY_VERSION}",
          source.required_ruby_version.satisfied_by?(ruby), true
    finish name
  end

  def in_force
    name = "in force"
    require "cgiesc"
    warned = cgiesc_warnings(true) { require "rival_escape" }
    check name, "a rival's native escapeHTML loaded later is undone", CGI.escapeHTML("<"), CGIESC
    check name, "native? after the rival", CGIEsc.native?, true
    check name, "the rival's other method stays", CGI.rival_helper, CGI.hash
    check name, "one line of cgiesc's under -w", warned.map { |l| l[/put cgiesc's back/] }, ["put cgiesc's back"]
    warned = cgiesc_warnings(false) { CGI::Escape.send(:alias_method, :escapeHTML, :rival_helper) }
    check name, "an alias of a native method is undone, silently without -w", [CGI.escapeHTML("<"), warned], [CGIESC, []]
    CGI::Escape.module_eval { def escapeHTML(_) = "app" }
    check name, "the application's Ruby definition stays", CGI.escapeHTML("<"), "app"
    check name, "native? is false then", CGIEsc.native?, false
    finish name
  end

  def rival_first
    name = "rival first"
    require "rival_escape"
    warned = cgiesc_warnings(true) { require "cgiesc" }
    check name, "cgiesc replaces a rival loaded earlier, without a word", [CGI.escapeHTML("<"), warned], [CGIESC, []]
    check name, "native?", CGIEsc.native?, true
    finish name
  end

  ERB_CALLS = {
    "ERB::Escape.html_escape" => -> { ERB::Escape.html_escape("<") },
    "ERB::Util.html_escape" => -> { ERB::Util.html_escape("<") }, "ERB::Util.h" => -> { ERB::Util.h("<") },
    "ERB::Util#h" => -> { Class.new { include ERB::Util }.new.send(:h, "<") }
  }.freeze
  LIBRARY_CALLS = {
    "Rack::Utils.escape_html" => -> { Rack::Utils.escape_html("<") }, "Erubi.h" => -> { Erubi.h("<") },
    "Haml::Util.escape_html" => -> { Haml::Util.escape_html("<") }
  }.freeze

  def require_steps(steps)
    steps.each { |s| s.end_with?(".rb") ? require(File.join(LIKE, s)) : require(s) }
  end

  # ERB's wiring (either shape) loaded before or after cgiesc/erb, then
  # libraries that copy ERB's escape: every way in reaches cgiesc.
  def erb_order(*steps)
    name = "erb #{steps.join(", ")}"
    require_steps(steps)
    require File.join(LIKE, "libraries.rb")
    ERB_CALLS.merge(LIBRARY_CALLS).each { |label, call| check name, label, call.call, CGIESC_ERB }
    check name, "erb_report", CGIEsc.erb_report.compact, {}
    check name, "erb_native?", CGIEsc.erb_native?, true
    finish name
  end

  # Libraries that copied ERB's native escape before cgiesc/erb keep it,
  # and erb_report says so.
  def erb_copy_before
    name = "erb copies taken before"
    require_steps(%w[escape_style.rb libraries.rb cgiesc/erb])
    ERB_CALLS.each { |label, call| check name, label, call.call, CGIESC_ERB }
    LIBRARY_CALLS.each { |label, call| check name, "#{label} keeps its copy", call.call, OTHER }
    causes = CGIEsc.erb_report.compact
    check name, "erb_report names the copies", causes.keys, LIBRARY_CALLS.keys
    check name, "and says why", causes.values.uniq.map { |c| c[/taken before cgiesc\/erb was required/] },
          ["taken before cgiesc/erb was required"]
    check name, "erb_native?", CGIEsc.erb_native?, false
    finish name
  end

  # Under -w, cgiesc adds one line when it puts ERB's escape back.
  def erb_warning(style, method)
    name = "erb -w #{style}"
    require "cgiesc/erb"
    warned = cgiesc_warnings(true) { require File.join(LIKE, style) }
    check name, "one line", warned,
          ["cgiesc: another library's native #{method} replaced cgiesc's; put cgiesc's back"]
    finish name
  end
end
