# frozen_string_literal: true

require_relative "../test_helper"

# Run against a build whose longest result is lowered (rake test:limit), so
# that the length check is reached without gigabytes of input.
class TestResultLimit < Minitest::Test
  LIMIT = Integer(ENV.fetch("CGIESC_TEST_MAX_RESULT"))
  # The result's capacity holds the kernels' write slack too.
  SLACK = 64

  def test_results_past_the_limit_raise_before_anything_is_allocated
    most = (LIMIT - SLACK) / 6
    assert_equal "&quot;" * most, escape('"' * most)
    # Past the limit by one reference, with a clean prefix the count skips.
    over = ("a" * 1000) + (%(") * (most - 100))
    GC.disable
    before = GC.stat(:malloc_increase_bytes)
    error = assert_raises(ArgumentError) { escape(over) }
    grown = GC.stat(:malloc_increase_bytes) - before
    GC.enable
    assert_match(/too long to escape/, error.message)
    require "cgiesc/erb"
    assert_raises(ArgumentError) { ERB::Escape.html_escape(over) }
    assert_operator grown, :<, LIMIT / 10, "#{grown} bytes allocated before raising"
    # Only the result is limited: a longer string with nothing to escape is copied.
    clean = "a" * (LIMIT * 2)
    assert_equal clean, escape(clean)
  end
end
