# frozen_string_literal: true

module CGIEsc
  VERSION = "0.2.0"
end
