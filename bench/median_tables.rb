# frozen_string_literal: true

# Medians of several saved `rake bench` outputs, cell by cell: the tables
# of bench/README.md come from
#
#   rake bench > tmp/bench-1.txt; rake bench > tmp/bench-2.txt; ...
#   ruby bench/median_tables.rb tmp/bench-*.txt
#
# Rows are matched by their first two cells (input and method); the other
# lines are taken from the first file.

def cells(line) = line.strip.delete_prefix("|").delete_suffix("|").split("|").map(&:strip)

def number(cell)
  Float(cell.delete(",+"))
rescue ArgumentError
  nil
end

def median(xs)
  s = xs.sort
  s.size.odd? ? s[s.size / 2] : (s[s.size / 2 - 1] + s[s.size / 2]) / 2.0
end

# Keeps the printed precision of the first run's cell.
def format_like(sample, value)
  decimals = sample[/\.(\d+)/, 1].to_s.size
  text = format("%.#{decimals}f", value)
  sample.start_with?("+") || (sample.start_with?("-") && value.zero?) ? format("%+.#{decimals}f", value) : text
end

abort "usage: ruby bench/median_tables.rb RUN1 RUN2 ..." if ARGV.empty?
runs = ARGV.map { |f| File.readlines(f, chomp: true) }
rows = runs.map do |lines|
  lines.select { |l| l.start_with?("| ") }.to_h { |l| [cells(l).first(2), cells(l)] }
end

runs.first.each do |line|
  next puts(line) unless line.start_with?("| ")

  key = cells(line).first(2)
  all = rows.map { |r| r[key] }.compact
  out = cells(line).each_with_index.map do |cell, i|
    values = all.map { |c| number(c[i].to_s) }
    i < 2 || values.include?(nil) ? cell : format_like(cell, median(values))
  end
  puts "| #{out.join(" | ")} |"
end
