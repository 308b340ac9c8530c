# frozen_string_literal: true

# ERB's wiring on Ruby 3.1: no ERB::Escape, and ERB::Util's html_escape is
# Ruby code that calls CGI.escapeHTML.
class ERB
  module Util
    def html_escape(s) = CGI.escapeHTML(s.to_s)
    alias h html_escape
    module_function :h
    module_function :html_escape
  end
end
