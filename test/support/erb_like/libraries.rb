# frozen_string_literal: true

# Libraries that copy ERB::Escape#html_escape when they load, as a toolkit
# (Rack::Utils), a template engine (Erubi) and Haml do; and Rails' prepend
# to ERB::Util, which calls super.
module Rack
  module Utils
    define_method(:escape_html, ERB::Escape.instance_method(:html_escape))
    module_function :escape_html
  end
end

module Erubi
  define_method(:h, ERB::Escape.instance_method(:html_escape))
  module_function :h
end

module Haml
  module Util
    define_singleton_method(:escape_html, ERB::Escape.instance_method(:html_escape))
  end
end

module RailsLike
  def html_escape(s)
    s = s.to_s
    s.frozen? && s.start_with?("safe:") ? s : super(s)
  end
end
ERB::Util.prepend(RailsLike)
ERB::Util.singleton_class.prepend(RailsLike)
