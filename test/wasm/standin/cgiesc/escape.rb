# frozen_string_literal: true

# The extension's load-time wiring, in Ruby, for an interpreter that loads
# no native extension (Ruby's WebAssembly build): built-in C methods stand
# in for cgiesc's two, String for CGI's escape and Array for ERB's, so that
# a call shows which ran.
class CGI
  module Escape; end
  module Util; end
end
CGI::Escape.send(:define_method, :escapeHTML, Kernel.instance_method(:String))
CGI::Util.prepend(CGI::Escape)
CGI.extend(CGI::Escape)
if defined?(CGIEsc)
  CGIEsc.const_set(:KERNEL, "none")
  CGIEsc.const_set(:ERBEscape, Module.new).send(:define_method, :html_escape, Kernel.instance_method(:Array))
end
