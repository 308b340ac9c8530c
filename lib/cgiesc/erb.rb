# frozen_string_literal: true

# Puts cgiesc behind ERB's escape, the one Rails, Rack, Erubi and Haml
# call: ERB::Escape.html_escape, ERB::Util.html_escape and h, and the copies
# of ERB::Escape#html_escape that libraries loaded afterwards take. ERB's
# own library is never loaded here: ERB, ERB::Escape and ERB::Util are made
# when missing, and when ERB's native escape loads, before or after, it gives
# way to cgiesc's. A definition in Ruby stays.
require "cgiesc"

class ERB
  module Escape; end
  module Util; end
end

module CGIEsc
  # The native method of ERB's behaviour, which the extension holds here.
  ERB_ESCAPE = ERBEscape.instance_method(:html_escape)
  # How to tell it in any module without calling it: a method object's hash
  # is its definition's, for a C function the function itself, whatever
  # module holds the copy. An alias (h) hashes apart from what it names.
  ERB_HASHES = [ERB_ESCAPE.hash, Module.new { define_method(:a, ERB_ESCAPE) && alias_method(:b, :a) }
                                   .instance_method(:b).hash].freeze
  private_constant :ERBEscape, :ERB_ESCAPE, :ERB_HASHES

  # The methods that are ERB's escape, module functions all: each is a
  # private instance method and a public singleton method.
  ERB_NAMES = { ERB::Escape => %i[html_escape], ERB::Util => %i[html_escape h] }.freeze
  private_constant :ERB_NAMES

  class << self
    # Whether each of ERB's escapes, and each loaded library's copy of it,
    # reaches cgiesc: a Hash from its name to nil when it does, or to why
    # not. It looks only at the method objects; nothing is called. Ruby
    # methods of modules prepended in front (as Rails prepends to
    # ERB::Util) are taken to call super.
    def erb_report
      entries = ERB_NAMES.flat_map do |mod, names|
        names.flat_map { |name| [["#{mod}.#{name}", mod.singleton_class, name], ["#{mod}##{name}", mod, name]] }
      end
      copies = [["Rack::Utils.escape_html", %w[Rack Utils], :escape_html], ["Erubi.h", %w[Erubi], :h],
                ["Haml::Util.escape_html", %w[Haml Util], :escape_html]].filter_map do |label, path, name|
        mod = loaded_constant(path)
        [label, mod.singleton_class, name] if mod&.respond_to?(name, true)
      end
      entries.to_h { |label, home, name| [label, erb_cause(home, name, copy: false)] }
             .merge(copies.to_h { |label, home, name| [label, erb_cause(home, name, copy: true)] })
    end

    # True while every escape erb_report lists reaches cgiesc.
    def erb_native? = erb_report.values.all?(&:nil?)

    private

    def erb_escape?(method) = method.source_location.nil? && ERB_HASHES.include?(method.hash)

    def erb_cause(home, name, copy:)
      return "not defined" unless home.method_defined?(name) || home.private_method_defined?(name)

      method = home.instance_method(name)
      method = method.super_method while method.source_location && method.owner != home && method.super_method
      return nil if erb_escape?(method)
      return "Ruby code at #{method.source_location.join(":")}, not cgiesc's" if method.source_location

      return "another library's native method, not cgiesc's" unless copy

      "a copy of another native method, taken before cgiesc/erb was required: require cgiesc/erb earlier"
    end

    # home's own method name, behind any module prepended to home, or nil.
    def own_method(home, name)
      return unless home.method_defined?(name, false) || home.private_method_defined?(name, false)

      method = home.instance_method(name)
      method = method.super_method while method && method.owner != home
      method
    end

    # The module at path when it is loaded (not merely set to autoload).
    def loaded_constant(path)
      path.reduce(Object) do |mod, name|
        return nil unless mod.is_a?(Module) && mod.const_defined?(name, false) && !mod.autoload?(name)

        mod.const_get(name, false)
      end
    end

    # Puts cgiesc's method back in place of mod's (or its singleton's)
    # `name` when that is another library's native method; Ruby code stays.
    def erb_put_back(mod, name, singleton, announce)
      home = singleton ? mod.singleton_class : mod
      current = own_method(home, name)
      return if current.nil? || current.source_location || erb_escape?(current)

      hidden = home.private_method_defined?(name, false)
      quietly do
        home.send(:define_method, name, ERB_ESCAPE)
        home.send(:private, name) if hidden
      end
      return unless announce && $VERBOSE

      # A native module function is two definitions; one line says both.
      if singleton && @last_put_back == [mod, name]
        @last_put_back = nil
        return
      end

      @last_put_back = [mod, name]
      warn "cgiesc: another library's native #{mod}#{singleton ? "." : "#"}#{name} replaced cgiesc's; put cgiesc's back"
    end

    # Defines name as cgiesc's on mod when it has none: a module function.
    def erb_define(mod, name)
      mod.send(:define_method, name, ERB_ESCAPE) unless mod.method_defined?(name) || mod.private_method_defined?(name)
      mod.send(:module_function, name) unless mod.singleton_class.method_defined?(name, false)
    end

    def erb_wire
      ERB_NAMES.each do |mod, names|
        names.each do |name|
          erb_put_back(mod, name, false, false)
          erb_put_back(mod, name, true, false)
        end
      end
      erb_define(ERB::Escape, :html_escape)
      ERB::Util.include(ERB::Escape) unless ERB::Util.method_defined?(:html_escape) ||
                                            ERB::Util.private_method_defined?(:html_escape)
      erb_define(ERB::Util, :html_escape)
      ERB::Util.send(:alias_method, :h, :html_escape) unless ERB::Util.private_method_defined?(:h) ||
                                                             ERB::Util.method_defined?(:h)
      erb_define(ERB::Util, :h)
      ERB_NAMES.each_key { |mod| mod.singleton_class.prepend(KeepERBInForce) }
    end
  end

  # Prepended to ERB::Escape's and ERB::Util's singleton classes, so that a
  # hook of the application's or another library's still runs.
  module KeepERBInForce
    private

    def method_added(name)
      super
      CGIEsc.send(:erb_put_back, self, name, false, true) if ERB_NAMES[self]&.include?(name)
    end

    def singleton_method_added(name)
      super
      CGIEsc.send(:erb_put_back, self, name, true, true) if ERB_NAMES[self]&.include?(name)
    end
  end
  private_constant :KeepERBInForce

  erb_wire
end
