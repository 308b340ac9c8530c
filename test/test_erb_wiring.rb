# frozen_string_literal: true

require_relative "test_helper"
require "tmpdir"

# cgiesc/erb against stand-ins of ERB's wiring (test/support/erb_like, with
# the native escape of test/erb_standin) and of libraries that copy ERB's
# escape, in every load order. Each case runs in a fresh process.
class TestERBWiring < Minitest::Test
  STANDIN_LIB = File.join(HELPER_LIBS, "erb-standin-lib")
  LIKE = File.join(ROOT, "test", "support", "erb_like")

  def setup
    assert File.exist?(File.join(STANDIN_LIB, "erb_standin.#{RbConfig::CONFIG["DLEXT"]}")),
           "the ERB stand-in is missing; run `rake compile:erb_standin`"
  end

  # What each way in gives for "<" ("&lt;" from cgiesc, "standin" from the
  # stand-in), then what the check says of those that do not reach cgiesc.
  REPORT = <<~'RUBY'
    includer = Class.new { include ERB::Util }.new
    calls = { "ERB::Escape.html_escape" => -> { ERB::Escape.html_escape("<") },
              "ERB::Util.html_escape" => -> { ERB::Util.html_escape("<") }, "ERB::Util.h" => -> { ERB::Util.h("<") },
              "ERB::Util#h" => -> { includer.send(:h, "<") },
              "Rack::Utils.escape_html" => -> { Rack::Utils.escape_html("<") }, "Erubi.h" => -> { Erubi.h("<") },
              "Haml::Util.escape_html" => -> { Haml::Util.escape_html("<") } }
    calls.each { |name, call| puts "#{name} #{call.call}" if name.start_with?("ERB") || defined?(Rack) }
    CGIEsc.erb_report.each { |name, cause| puts "check: #{name}: #{cause}" if cause }
    puts "native: #{CGIEsc.erb_native?}"
  RUBY

  def run_case(*steps, verbose: false)
    code = steps.map { |s| s.end_with?(".rb") ? "require #{File.join(LIKE, s).dump}" : s }.join("\n")
    out, err, status = run_ruby("$VERBOSE = #{verbose}\n#{code}\n#{REPORT}", load_path: [EXT_DIR, LIB, STANDIN_LIB])
    assert status.success?, err
    [out.lines(chomp: true), err.lines(chomp: true)]
  end

  ALL_CGIESC = ["ERB::Escape.html_escape &lt;", "ERB::Util.html_escape &lt;", "ERB::Util.h &lt;",
                "ERB::Util#h &lt;"].freeze
  LIBRARIES = ["Rack::Utils.escape_html &lt;", "Erubi.h &lt;", "Haml::Util.escape_html &lt;"].freeze

  def test_either_wiring_loaded_before_or_after_gives_way
    %w[escape_style.rb util_style.rb].each do |erb_like|
      [[%(require "cgiesc/erb"), erb_like], [erb_like, %(require "cgiesc/erb")],
       [%(require "cgiesc/erb"), %(ERB::Escape.html_escape("<")), erb_like]].each do |steps|
        out, = run_case(*steps, "libraries.rb")
        assert_equal ALL_CGIESC + LIBRARIES + ["native: true"], out, steps.join(", ")
      end
    end
  end

  def test_a_copy_taken_before_is_reported
    out, = run_case("escape_style.rb", "libraries.rb", %(require "cgiesc/erb"))
    assert_equal ALL_CGIESC + ["Rack::Utils.escape_html standin", "Erubi.h standin", "Haml::Util.escape_html standin"],
                 out.first(7)
    causes = out.grep(/\Acheck: /)
    assert_equal %w[Rack::Utils.escape_html Erubi.h Haml::Util.escape_html], causes.map { |l| l.split[1].chomp(":") }
    assert causes.all? { |l| l.include?("taken before cgiesc/erb was required") }, causes.join("\n")
    assert_equal "native: false", out.last
  end

  def test_ruby_definitions_stay_and_are_reported
    out, = run_case(%(require "cgiesc/erb"), "escape_style.rb", "module ERB::Util; def self.h(s) = 'mine'; end")
    assert_includes out, "ERB::Util.h mine"
    assert_includes out, "ERB::Escape.html_escape &lt;"
    assert_match(/\Acheck: ERB::Util\.h: Ruby code at -e:\d+, not cgiesc's\z/, out.grep(/check:/).join)
    # Ruby 3.1's ERB::Util is Ruby that calls CGI.escapeHTML: it stays, and
    # reaches cgiesc through CGI; ERB::Escape is cgiesc's alone.
    out, = run_case(%(require "cgiesc/erb"), "ruby_style.rb")
    assert_equal ALL_CGIESC, out.first(4)
    assert_equal 4, out.grep(%r{check: ERB::Util[.#](html_escape|h): Ruby code at .*ruby_style\.rb}).size, out.join("\n")
  end

  # The host's own "method redefined" for the stand-in is its line, not
  # cgiesc's; cgiesc adds exactly one of its own, for CGI as for ERB.
  def test_under_w_cgiesc_adds_one_line
    [["escape_style.rb", "ERB::Escape#html_escape"], ["util_style.rb", "ERB::Util#html_escape"]].each do |erb_like, name|
      _, err = run_case(%(require "cgiesc/erb"), erb_like, verbose: true)
      ours = err.select { |l| l.start_with?("cgiesc:") || l.include?("#{LIB}/") }
      assert_equal ["cgiesc: another library's native #{name} replaced cgiesc's; put cgiesc's back"], ours, err.join("\n")
    end
    rival = File.join(HELPER_LIBS, "rival-lib", "rival_escape.#{RbConfig::CONFIG["DLEXT"]}")
    _, err, = run_ruby(%($VERBOSE = true; require "cgiesc"; require #{rival.dump}))
    ours = err.lines(chomp: true).select { |l| l.start_with?("cgiesc:") || l.include?("#{LIB}/") }
    assert_equal ["cgiesc: another library's native CGI::Escape#escapeHTML replaced cgiesc's; put cgiesc's back"], ours
  end

  # Taking the place of a native escape that was there first is what
  # cgiesc/erb is for: it says nothing, even under -w.
  def test_requiring_after_a_native_escape_says_nothing
    %w[escape_style.rb util_style.rb].each do |erb_like|
      out, err = run_case(erb_like, %(require "cgiesc/erb"), verbose: true)
      assert_equal ALL_CGIESC, out.first(4), erb_like
      assert_empty err.select { |l| l.start_with?("cgiesc:") || l.include?("#{LIB}/") }, erb_like
    end
  end

  # Hooks of the application's on ERB::Escape and ERB::Util, defined before
  # cgiesc/erb, still run for every method defined afterwards.
  def test_hooks_of_the_applications_keep_running
    hooks = <<~'RUBY'
      $seen = []
      class ERB
        [Escape = Module.new, Util = Module.new].each do |mod|
          mod.define_singleton_method(:method_added) { |name| $seen << "#{mod}#" + name.to_s }
          mod.define_singleton_method(:singleton_method_added) { |name| $seen << "#{mod}." + name.to_s }
        end
      end
    RUBY
    defs = '$seen.clear; [ERB::Escape, ERB::Util].each { |m| m.module_eval("def x; end; def self.y; end") }; ' \
           'puts "seen: #{$seen.join(" ")}"'
    out, = run_case(hooks, %(require "cgiesc/erb"), defs)
    assert_includes out, "seen: ERB::Escape#x ERB::Escape.y ERB::Util#x ERB::Util.y"
    assert_includes out, "native: true"
  end

  # The report looks at what is loaded and never loads a library itself:
  # one set to autoload stays unloaded.
  def test_the_report_loads_nothing
    Dir.mktmpdir do |dir|
      autoloads = %w[Rack Erubi Haml].map do |name|
        file = File.join(dir, "#{name.downcase}.rb")
        File.write(file, "$loaded << #{name.dump}\n")
        "autoload :#{name}, #{file.dump}"
      end
      code = ["$loaded = []", *autoloads, %(require "cgiesc/erb"), "report = CGIEsc.erb_report",
              "p [$loaded, report.keys.grep(/Rack|Erubi|Haml/), CGIEsc.erb_native?, " \
              "%i[Rack Erubi Haml].map { |c| Object.autoload?(c) ? 1 : 0 }]"].join("\n")
      out, err, status = run_ruby(code)
      assert status.success?, err
      assert_equal "[[], [], true, [1, 1, 1]]\n", out
    end
  end

  def test_cgiesc_alone_leaves_erb_alone
    out, = run_ruby('require "cgiesc"; p defined?(ERB)')
    assert_equal "nil\n", out
  end

  # The guard every test process runs at exit fails it when ERB code from
  # outside this repository was loaded.
  def test_foreign_erb_code_fails_the_process
    Dir.mktmpdir do |dir|
      # By its full path: never the interpreter's own.
      fake = File.join(dir, "erb.rb")
      File.write(fake, "class ERB; end\n")
      _, err, status = run_ruby("require #{fake.dump}", load_path: [])
      refute status.success?
      assert_match(/foreign CGI or ERB code was loaded: .*erb\.rb/, err)
    end
  end
end
