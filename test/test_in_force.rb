# frozen_string_literal: true

require_relative "test_helper"

# Another library's native CGI::Escape#escapeHTML (a stand-in built from
# test/rival) loaded after cgiesc does not replace it; Ruby code of the
# application's own does. Each case runs in a fresh process.
class TestInForce < Minitest::Test
  RIVAL = File.join(HELPER_LIBS, "rival-lib", "rival_escape.#{RbConfig::CONFIG["DLEXT"]}")

  def setup
    assert File.exist?(RIVAL), "the rival extension is missing; run `rake compile:rival`"
  end

  # What a caller sees: CGI.escapeHTML, a class that includes CGI::Util,
  # native?, the rival's other method, and cgiesc's warnings.
  REPORT = <<~'RUBY'
    util = Class.new { include CGI::Util }.new
    p [CGI.escapeHTML("<"), util.escapeHTML("<"), CGIEsc.native?, util.rival_helper]
  RUBY

  def run_case(code, verbose: false)
    out, err, status = run_ruby("$VERBOSE = #{verbose}\n#{code}\n#{REPORT}")
    assert status.success?, err
    [out, err.lines.grep(/\Acgiesc:/)]
  end

  def test_a_native_definition_loaded_later_is_undone
    [false, true].each do |verbose|
      out, warnings = run_case(%(require "cgiesc"; require #{RIVAL.dump}), verbose: verbose)
      assert_equal %(["&lt;", "&lt;", true, :rival_helper]\n), out
      assert_equal(verbose ? 1 : 0, warnings.size, warnings.join)
      assert_match(/put cgiesc's back/, warnings.first) if verbose
    end
  end

  def test_a_native_definition_loaded_earlier_is_replaced_at_load
    out, warnings = run_case(%(require #{RIVAL.dump}; require "cgiesc"), verbose: true)
    assert_equal %(["&lt;", "&lt;", true, :rival_helper]\n), out
    assert_empty warnings
  end

  # Only the rival's definition is undone (one warning), not the Ruby one.
  def test_a_ruby_definition_loaded_later_stays
    out, warnings = run_case(<<~RUBY, verbose: true)
      require "cgiesc"
      require #{RIVAL.dump}
      module CGI::Escape
        def escapeHTML(str) = "mine"
      end
    RUBY
    assert_equal %(["mine", "mine", false, :rival_helper]\n), out
    assert_equal 1, warnings.size, warnings.join
  end

  # A method_added hook on CGI::Escape, defined before cgiesc loads or
  # after, still sees every definition, and cgiesc is still put back.
  def test_method_added_hooks_keep_working
    out, = run_case(<<~RUBY)
      class CGI
        module Escape
          def self.method_added(name) = ($before ||= []) << name
        end
      end
      require "cgiesc"
      require #{RIVAL.dump}
      print $before.inspect, " "
    RUBY
    assert_equal %([:escapeHTML, :escapeHTML, :escapeHTML, :rival_helper] ["&lt;", "&lt;", true, :rival_helper]\n), out

    out, = run_case(<<~RUBY)
      require "cgiesc"
      module CGI::Escape
        def self.method_added(name) = ($after ||= []) << name
      end
      require #{RIVAL.dump}
      print $after.inspect, " "
    RUBY
    assert_equal %([:escapeHTML, :escapeHTML, :rival_helper] ["&lt;", "&lt;", true, :rival_helper]\n), out
  end
end
