# frozen_string_literal: true

# Loads the native CGI.escapeHTML. The extension defines CGI, CGI::Escape and
# CGI::Util if they are missing, and puts CGI::Escape in front of CGI::Util.
require "rbconfig"
require_relative "cgiesc/version"

# A platform gem holds an object for each Ruby it was built for, under
# cgiesc/MAJOR.MINOR/; a source install or a checkout has the one compiled
# here.
abi = RUBY_VERSION[/\A\d+\.\d+/]
prebuilt = "cgiesc/#{abi}/escape"
built_for = Dir[File.join(__dir__, "cgiesc", "*", "escape.#{RbConfig::CONFIG["DLEXT"]}")]
            .map { |f| File.basename(File.dirname(f)) }.grep(/\A\d+\.\d+\z/).sort
if !built_for.empty? && !built_for.include?(abi)
  # A platform gem without an object for this Ruby, which its Ruby
  # requirement could not keep out.
  raise LoadError, "cgiesc: this gem has prebuilt objects for Ruby #{built_for.join(", ")}, none for Ruby #{abi}; " \
                   "install the gem built here instead: gem install cgiesc --platform ruby"
elsif File.exist?(File.join(__dir__, "#{prebuilt}.#{RbConfig::CONFIG["DLEXT"]}"))
  begin
    require_relative prebuilt
  rescue LoadError => e
    # A RubyGems older than 3.3.21 cannot tell musl from glibc, and may have
    # put a glibc build on musl (Alpine).
    raise LoadError, "cgiesc: the prebuilt extension does not load on this system (#{e.message}); " \
                     "install the gem built here instead: gem install cgiesc --platform ruby"
  end
else
  require "cgiesc/escape"
end

module CGIEsc
  # The method the extension defined, kept to recognise it later.
  NATIVE_ESCAPE_HTML = CGI::Escape.instance_method(:escapeHTML)
  private_constant :NATIVE_ESCAPE_HTML

  # True while CGI::Escape#escapeHTML is still cgiesc's native method and
  # CGI.escapeHTML reaches it; false once code loaded later has replaced it
  # with Ruby code (by defining CGI::Escape#escapeHTML again, say, or
  # CGI.escapeHTML itself).
  def self.native?
    CGI::Escape.instance_method(:escapeHTML) == NATIVE_ESCAPE_HTML &&
      CGI.method(:escapeHTML).owner == CGI::Escape
  end

  # Another library's native CGI::Escape#escapeHTML, loaded later (often
  # lazily, on its first use), would replace cgiesc's without a word; a
  # definition in Ruby is the application's own and stays.
  def self.reinstate
    current = CGI::Escape.instance_method(:escapeHTML)
    return if current == NATIVE_ESCAPE_HTML || current.source_location

    quietly { CGI::Escape.send(:define_method, :escapeHTML, NATIVE_ESCAPE_HTML) }
    warn "cgiesc: another library's native CGI::Escape#escapeHTML replaced cgiesc's; put cgiesc's back" if $VERBOSE
  end
  private_class_method :reinstate

  # Puts a method back without the host's "method redefined" warning, which
  # would be a line of cgiesc's own beside the one that says so.
  def self.quietly
    verbose = $VERBOSE
    $VERBOSE = nil
    yield
  ensure
    $VERBOSE = verbose
  end
  private_class_method :quietly

  # Prepended, so that a method_added of the application's or another
  # library's on CGI::Escape, defined before or after, still runs.
  module KeepInForce
    private

    def method_added(name)
      super
      CGIEsc.send(:reinstate) if name == :escapeHTML && equal?(CGI::Escape)
    end
  end
  private_constant :KeepInForce
  CGI::Escape.singleton_class.prepend(KeepInForce)
end
