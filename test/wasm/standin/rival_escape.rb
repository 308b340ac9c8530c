# frozen_string_literal: true

# Another library's native CGI::Escape#escapeHTML (Kernel#===, false for a
# string), with a method of its own beside it.
class CGI
  module Escape
    define_method(:escapeHTML, Kernel.instance_method(:===))
    define_method(:rival_helper, Kernel.instance_method(:hash))
  end
end
