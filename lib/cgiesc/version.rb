# frozen_string_literal: true

module CGIEsc
  VERSION = "0.1.0"
end
