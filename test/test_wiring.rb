# frozen_string_literal: true

require_relative "test_helper"

class TestWiring < Minitest::Test
  def test_namespace_after_load
    assert_instance_of Class, CGI
    assert_equal Object, CGI.superclass
    assert_instance_of Module, CGI::Escape
    assert_instance_of Module, CGI::Util
    assert_equal [CGI::Escape, CGI::Util], CGI::Util.ancestors.first(2)
    assert_includes CGI.singleton_class.ancestors, CGI::Escape
    assert_equal "a&lt;b", CGI.escapeHTML("a<b")
  end

  def test_method_shape
    m = CGI::Escape.instance_method(:escapeHTML)
    assert_equal 1, m.arity
    assert_equal CGI::Escape, m.owner
    assert_nil m.source_location, "escapeHTML should be the native method"
    assert_includes CGI::Escape.public_instance_methods(false), :escapeHTML
    assert_equal [:escapeHTML], CGI::Escape.instance_methods(false)
    assert_empty CGI::Util.instance_methods(false) - [:escapeHTML]
  end

  # Code loaded after cgiesc can take escapeHTML back; native? tells.
  def test_native_until_something_later_replaces_it
    assert_predicate CGIEsc, :native?
    replacements = {
      "CGI::Escape#escapeHTML" => "module CGI::Escape; def escapeHTML(s) = 'later'; end",
      "CGI.escapeHTML" => "def CGI.escapeHTML(s) = 'later'",
      "a module extended into CGI" => "CGI.extend(Module.new { def escapeHTML(s) = 'later' })"
    }
    replacements.each do |what, code|
      out, err, status = run_ruby(<<~RUBY)
        require "cgiesc"
        before = CGIEsc.native?
        $VERBOSE = nil
        #{code}
        print before, " ", CGIEsc.native?, " ", CGI.escapeHTML("<")
      RUBY
      assert status.success?, err
      assert_equal "true false later", out, what
    end
    # A CGI::Util of the application's own, defined later, stays behind ours.
    out, = run_ruby('require "cgiesc"; module CGI::Util; def escapeHTML(s) = "util"; end; print CGIEsc.native?')
    assert_equal "true", out
  end

  def test_argument_count_is_checked_by_the_host
    e = assert_raises(ArgumentError) { CGI.escapeHTML }
    assert_match(/given 0, expected 1/, e.message)
    e = assert_raises(ArgumentError) { CGI.escapeHTML("a", "b") }
    assert_match(/given 2, expected 1/, e.message)
  end

  def test_reached_through_util_includers
    klass = Class.new { include CGI::Util }
    assert_equal "&quot;x&quot;", klass.new.escapeHTML('"x"')
    obj = Object.new.extend(CGI::Util)
    assert_equal "&#39;", obj.escapeHTML("'")
  end

  def test_existing_constants_are_reused
    out, err, status = run_ruby(<<~'RUBY')
      class CGI
        def self.mine = :class_kept
        module Escape
          def escapeHTML(s) = "ruby escape"
          def other = :escape_kept
        end
        module Util
          def escapeHTML(s) = "ruby util"
          def helper = :util_kept
        end
      end
      ids = [CGI, CGI::Escape, CGI::Util].map(&:object_id)
      require "cgiesc"
      host = Class.new { include CGI::Util }.new
      p [ids == [CGI, CGI::Escape, CGI::Util].map(&:object_id),
         CGI.mine, host.other, host.helper,
         host.escapeHTML("<"), CGI.escapeHTML("<"),
         CGI::Util.ancestors.first(2)]
    RUBY
    assert status.success?, err
    assert_equal %([true, :class_kept, :escape_kept, :util_kept, "&lt;", "&lt;", [CGI::Escape, CGI::Util]]\n), out
  end

  def test_util_method_defined_after_load_stays_behind
    out, err, status = run_ruby(<<~'RUBY')
      require "cgiesc"
      module CGI::Util
        def escapeHTML(s) = "ruby util"
      end
      host = Object.new.extend(CGI::Util)
      p [host.escapeHTML("<"), CGI::Util.ancestors.first(2)]
    RUBY
    assert status.success?, err
    assert_equal %(["&lt;", [CGI::Escape, CGI::Util]]\n), out
  end

  def test_cgi_as_module_fails_to_load
    out, err, status = run_ruby(<<~'RUBY')
      module CGI; end
      begin
        require "cgiesc"
      rescue TypeError => e
        puts e.message
        exit 3
      end
    RUBY
    assert_equal 3, status.exitstatus, err
    assert_match(/CGI is not a class/, out)
  end
end
