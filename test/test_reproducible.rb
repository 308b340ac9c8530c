# frozen_string_literal: true

require_relative "test_helper"
require "fileutils"
require "tmpdir"

# Gems built again from the same commit are the same bytes, whatever the
# time and the umask; where two gems differ, gem:verify says where.
class TestReproducible < Minitest::Test
  # Loads the Rakefile's helpers of the tree at root in a fresh process
  # (outside this one's constants), then runs code with the arguments.
  def with_rake(root, code, *args, env: {})
    script = %(require "rake"
               Dir.chdir(#{root.dump})
               Rake.application.init("rake", [])
               Rake.application.load_rakefile
               #{code})
    out, err, status = run_ruby(script, *args, env: env)
    assert status.success?, err
    out
  end

  # A copy of the working tree elsewhere, its files group-writable as a
  # checkout under umask 002 leaves them.
  def copy_tree(to)
    files, = Open3.capture2("git", "-C", ROOT, "ls-files", "-co", "--exclude-standard")
    files.lines(chomp: true).each do |f|
      next unless File.file?(File.join(ROOT, f))

      FileUtils.mkdir_p(File.join(to, File.dirname(f)))
      FileUtils.cp(File.join(ROOT, f), File.join(to, f))
      File.chmod(File.executable?(File.join(ROOT, f)) ? 0o775 : 0o664, File.join(to, f))
    end
  end

  # Here, dated by the commit; in a copy at another path with other modes,
  # a second later, under another umask, dated by the same commit's time
  # given by hand; then a
  # day later, which gem:verify's comparison must show.
  def test_a_rebuild_elsewhere_and_later_gives_the_same_bytes
    skip "packaging is not what this run checks" if ENV["CGIESC_SKIP_PACKAGING"]
    skip "not a git checkout: no commit to date the gems by" unless File.exist?(File.join(ROOT, ".git"))
    skip "the gem tasks run on the machine that builds, with its git" if WINDOWS

    Dir.mktmpdir do |dir|
      epoch, = Open3.capture2("git", "-C", ROOT, "log", "-1", "--format=%ct", "HEAD")
      here = with_rake(ROOT, "puts build_source_gem(into: ARGV[0])", File.join(dir, "a"), env: { "SOURCE_DATE_EPOCH" => nil })
      sleep 1.1
      copy = File.join(dir, "tree")
      copy_tree(copy)
      out = with_rake(copy, <<~'RUBY', here.strip, File.join(dir, "b"), File.join(dir, "c"), env: { "SOURCE_DATE_EPOCH" => epoch.strip, "CGIESC_ALLOWED_ROOTS" => dir })
        File.umask(0o002)
        again = build_source_gem(into: ARGV[1])
        ENV["SOURCE_DATE_EPOCH"] = (Integer(ENV["SOURCE_DATE_EPOCH"]) + 86_400).to_s
        next_day = build_source_gem(into: ARGV[2])
        puts [ARGV[0], again].map { |g| Digest::SHA256.file(g).hexdigest }.uniq.size
        entries = gem_entries(again)
        puts format("modes %o %o", entries["data.tar.gz: exe/cgiesc"][0], entries["data.tar.gz: lib/cgiesc.rb"][0])
        puts gem_differences(again, next_day)
      RUBY
      lines = out.lines(chomp: true)
      assert_equal "1", lines.first, out
      assert_includes lines, "modes 755 644"
      # A day later: every archive's time, and the metadata's date.
      day = Integer(epoch)
      assert_includes lines, "data.tar.gz: lib/cgiesc.rb: time #{day}, rebuilt #{day + 86_400}"
      assert_includes lines, "data.tar.gz: time #{day}, rebuilt #{day + 86_400}; gzip time #{day}, rebuilt #{day + 86_400}"
      assert lines.grep(/\Ametadata\.gz: time .*; bytes differ from offset \d+/).one?, out
    end
  end
end
