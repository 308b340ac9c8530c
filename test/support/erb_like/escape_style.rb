# frozen_string_literal: true

# ERB's wiring where ERB::Util includes ERB::Escape, with the stand-in's
# native html_escape.
require "erb_standin"
ERBStandin.define_on("Escape")

module ERB::Util
  include ERB::Escape
  module_function :html_escape
  alias h html_escape
  module_function :h
end
