# frozen_string_literal: true

# Deterministic benchmark text, generated rather than shipped: the same seed
# gives the same bytes on every machine.
module Corpus
  KINDS = %i[clean prose markup attrs].freeze
  SIZES = { "16 B" => 16, "64 B" => 64, "64 KiB" => 64 * 1024, "16 MiB" => 16 * 1024 * 1024 }.freeze
  # Short inputs cycle through this many different slices, so that one
  # lucky string does not decide the figure.
  SLICES = 1024

  WORDS = %w[the of and to in is was for on that with as by at from this
             café naïve über señor façade déjà-vu résumé Zürich São Paulo
             日本語 текст ελληνικά — … 2026 42 percent data value request].freeze
  PUNCT = [" ", " ", " ", " ", ", ", ". ", "; ", ": ", "! ", "? "].freeze
  SPECIAL_PROSE = ["&", "'", "\"", "<", ">"].freeze
  TAGS = %w[div span p a li td em strong section].freeze
  ATTRS = %w[class id href title data-id lang].freeze
  FIELDS = %w[email name city phone street zip q title].freeze
  INPUT_TYPES = %w[text email tel search hidden].freeze

  module_function

  def rng(kind)
    Random.new({ clean: 1, prose: 2, markup: 3, attrs: 4 }.fetch(kind))
  end

  # At least `bytes` bytes of UTF-8 text of the given kind.
  def text(kind, bytes)
    r = rng(kind)
    out = String.new(capacity: bytes + 256, encoding: Encoding::UTF_8)
    case kind
    when :clean then out << prose_piece(r, 0) while out.bytesize < bytes
    when :prose then out << prose_piece(r, 0.095) while out.bytesize < bytes
    when :markup then out << markup_piece(r) while out.bytesize < bytes
    when :attrs then out << attrs_piece(r) while out.bytesize < bytes
    end
    out
  end

  def prose_piece(r, special_rate)
    word = WORDS[r.rand(WORDS.size)]
    word = "#{SPECIAL_PROSE[r.rand(SPECIAL_PROSE.size)]}#{word}" if r.rand < special_rate
    word + PUNCT[r.rand(PUNCT.size)]
  end

  def markup_piece(r)
    tag = TAGS[r.rand(TAGS.size)]
    attrs = Array.new(r.rand(0..2)) { %( #{ATTRS[r.rand(ATTRS.size)]}="#{WORDS[r.rand(WORDS.size)]}") }.join
    body = Array.new(r.rand(1..3)) { WORDS[r.rand(WORDS.size)] }.join(" ")
    body = "#{body} &amp; it's" if r.rand < 0.3
    "<#{tag}#{attrs}>#{body}</#{tag}>\n"
  end

  # Form fields with quoted values and JSON in data-* attributes: what
  # server-rendered forms and component props look like, and the densest
  # common case (the escaped text is about twice as long).
  def attrs_piece(r)
    field = FIELDS[r.rand(FIELDS.size)]
    value = WORDS[r.rand(WORDS.size)]
    json = %({"id":#{r.rand(1000)},"field":"#{field}","tags":["#{WORDS[r.rand(WORDS.size)]}","x"],"ok":#{r.rand < 0.5}})
    %(<input type="#{INPUT_TYPES[r.rand(INPUT_TYPES.size)]}" name="user[#{field}]" value="#{value}" ) +
      %(data-props='#{json}'>\n)
  end

  # A valid UTF-8 string of exactly `size` bytes starting near `offset`.
  def slice(base, offset, size)
    offset += 1 until base.byteslice(offset, 1).valid_encoding?
    s = base.byteslice(offset, size)
    s = s.byteslice(0, s.bytesize - 1) until s.valid_encoding?
    s << "x" * (size - s.bytesize)
  end

  # The inputs for one kind and size: SLICES strings when short, one when long.
  def inputs(kind, size)
    if size < 4096
      base = text(kind, 256 * 1024)
      r = Random.new(size)
      Array.new(SLICES) { slice(base, r.rand(base.bytesize - 2 * size), size) }
    else
      [slice(text(kind, size + 64), 0, size)]
    end
  end

  def special_share(strings)
    total = strings.sum(&:bytesize)
    specials = strings.sum { |s| s.count(%q(&<>"')) }
    specials.fdiv(total)
  end
end

# ruby bench/corpus.rb KIND BYTES > file: one input, for profiling elsewhere.
if $PROGRAM_NAME == __FILE__
  kind = ARGV.fetch(0, "markup").to_sym
  size = Integer(ARGV.fetch(1, 65_536))
  $stdout.binmode.write(Corpus.slice(Corpus.text(kind, size + 64), 0, size))
end
