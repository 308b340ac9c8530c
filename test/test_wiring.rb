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

  # Each wiring step can meet a constant of the wrong kind. The host's
  # TypeError reaches the caller, and the process runs on and exits
  # cleanly: a failed load leaves nothing behind (under the sanitizer build
  # too, where a poisoned stack would trip the interpreter later).
  def test_wiring_failures_raise_and_leave_the_process_sound
    cases = {
      "module CGI; end" => /CGI is not a class/,
      "class CGI < String; end" => /superclass mismatch for class CGI/,
      "class CGI; class Escape; end; end" => /Escape is not a module/,
      "class CGI; class Util; end; end" => /Util is not a module/
    }
    cases.each do |setup, message|
      out, err, status = run_ruby(<<~RUBY)
        #{setup}
        begin
          require "cgiesc"
        rescue TypeError => e
          puts e.message
        end
        #{STACK_POISON_CHECK if ENV["CGIESC_SANITIZED"]}
        GC.start
        Dir.glob(File.join(__dir__ || ".", "*")).each { |f| File.stat(f) }
        puts Array.new(1000) { |i| "x" * i }.sum(&:size)
      RUBY
      assert status.success?, "#{setup}: #{err}"
      lines = out.lines
      assert_match message, lines.first, setup
      assert_equal "499500\n", lines.last, setup
    end
  end

  # Under the sanitizer, asks its runtime whether any of the main thread's
  # stack is still poisoned: only our instrumented frames could have left
  # that, and an interpreter call that later lands on it would abort.
  STACK_POISON_CHECK = <<~'RUBY'
    require "fiddle"
    lo, hi = File.read("/proc/self/maps")[/^\h+-\h+ .*\[stack\]$/].split.first.split("-").map(&:hex)
    probe = Fiddle::Function.new(Fiddle::Handle::DEFAULT["__asan_region_is_poisoned"],
                                 [Fiddle::TYPE_VOIDP, Fiddle::TYPE_SIZE_T], Fiddle::TYPE_VOIDP)
    at = probe.call(lo, hi - lo).to_i
    abort format("stack left poisoned %d bytes below its top", hi - at) unless at.zero?
  RUBY

  # A platform gem's object that cannot load here (a glibc build on musl)
  # says how to get one that can.
  def test_prebuilt_object_that_does_not_load_names_the_way_out
    Dir.mktmpdir do |dir|
      FileUtils.cp_r(INSTALLED ? File.expand_path("../../..", EXT) : LIB, dir)
      object = File.join(dir, "lib", "cgiesc", RUBY_VERSION[/\A\d+\.\d+/], "escape.#{RbConfig::CONFIG["DLEXT"]}")
      FileUtils.mkdir_p(File.dirname(object))
      File.write(object, "not an object")
      roots = [dir, ENV["CGIESC_ALLOWED_ROOTS"]].compact.join(File::PATH_SEPARATOR)
      out, err, = run_ruby('begin; require "cgiesc"; rescue LoadError => e; puts e.message; end',
                           load_path: [File.join(dir, "lib")], env: { "CGIESC_ALLOWED_ROOTS" => roots })
      assert_empty err
      assert_match(/\Acgiesc: the prebuilt extension does not load on this system \(.*#{Regexp.escape(object)}/, out)
      assert_match(/gem install cgiesc --platform ruby\n\z/, out)
    end
  end

  # A platform gem with objects for other Rubies only says which, and how
  # to get one for this Ruby.
  def test_platform_gem_without_an_object_for_this_ruby_says_so
    Dir.mktmpdir do |dir|
      FileUtils.cp_r(INSTALLED ? File.expand_path("../../..", EXT) : LIB, dir)
      # An installed platform gem has objects of its own: only made-up ones stay.
      FileUtils.rm_rf(Dir[File.join(dir, "lib", "cgiesc", "[0-9]*.[0-9]*")])
      %w[2.9 9.1].each do |abi|
        FileUtils.mkdir_p(File.join(dir, "lib", "cgiesc", abi))
        File.write(File.join(dir, "lib", "cgiesc", abi, "escape.#{RbConfig::CONFIG["DLEXT"]}"), "")
      end
      roots = [dir, ENV["CGIESC_ALLOWED_ROOTS"]].compact.join(File::PATH_SEPARATOR)
      out, err, = run_ruby('begin; require "cgiesc"; rescue LoadError => e; puts e.message; end',
                           load_path: [File.join(dir, "lib")], env: { "CGIESC_ALLOWED_ROOTS" => roots })
      assert_empty err
      assert_equal "cgiesc: this gem has prebuilt objects for Ruby 2.9, 9.1, none for Ruby #{RUBY_VERSION[/\A\d+\.\d+/]}; " \
                   "install the gem built here instead: gem install cgiesc --platform ruby\n", out
    end
  end

  # The shared object on its own adds CGI and nothing else at the top level.
  def test_shared_object_alone_adds_only_cgi
    out, err, status = run_ruby(<<~RUBY)
      before = Object.constants
      require #{(INSTALLED ? EXT : "cgiesc/escape").dump}
      p [Object.constants - before, CGI.escapeHTML("<")]
    RUBY
    assert status.success?, err
    assert_equal %([[:CGI], "&lt;"]\n), out
  end
end
