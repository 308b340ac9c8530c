# frozen_string_literal: true

# Loads the native CGI.escapeHTML. The extension defines CGI, CGI::Escape and
# CGI::Util if they are missing, and puts CGI::Escape in front of CGI::Util.
require_relative "cgiesc/version"
require "cgiesc/escape"
