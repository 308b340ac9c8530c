# frozen_string_literal: true

# Loads the native CGI.escapeHTML. The extension defines CGI, CGI::Escape and
# CGI::Util if they are missing, and puts CGI::Escape in front of CGI::Util.
require_relative "cgiesc/version"
require "cgiesc/escape"

module CGIEsc
  # The method the extension defined, kept to recognise it later.
  NATIVE_ESCAPE_HTML = CGI::Escape.instance_method(:escapeHTML)
  private_constant :NATIVE_ESCAPE_HTML

  # True while CGI::Escape#escapeHTML is still cgiesc's native method and
  # CGI.escapeHTML reaches it; false once code loaded later has replaced it
  # (by defining CGI::Escape#escapeHTML again, say, or CGI.escapeHTML itself).
  def self.native?
    CGI::Escape.instance_method(:escapeHTML) == NATIVE_ESCAPE_HTML &&
      CGI.method(:escapeHTML).owner == CGI::Escape
  end
end
