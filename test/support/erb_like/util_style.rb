# frozen_string_literal: true

# ERB's wiring where html_escape is a native module function of ERB::Util
# itself, and there is no ERB::Escape of the library's.
require "erb_standin"
ERBStandin.define_on("Util")

module ERB::Util
  alias h html_escape
  module_function :h
end
