# frozen_string_literal: true

# Reads valgrind's XML log and fails if any error has a stack frame in the
# extension. Errors wholly inside the interpreter are counted, not failed:
# its conservative stack scan reads memory that valgrind thinks undefined.
require "rexml/document"

xml = File.read(ARGV.fetch(0))
doc = REXML::Document.new(xml)
errors = doc.get_elements("//valgrindoutput/error")
ours = errors.select do |e|
  e.get_elements(".//frame/obj").any? { |o| o.text.to_s.include?("cgiesc") }
end
suppressed = doc.get_elements("//suppcounts/pair").sum { |p| p.elements["count"].text.to_i }
puts "valgrind: #{errors.size} errors, #{ours.size} with a frame of the extension, #{suppressed} suppressed"
ours.first(5).each do |e|
  puts e.elements["kind"].text
  e.get_elements(".//frame").first(12).each do |f|
    puts "  #{f.elements["fn"]&.text} #{f.elements["obj"]&.text}"
  end
end
exit(ours.empty? ? 0 : 1)
