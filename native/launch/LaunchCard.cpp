// Launch card: see LaunchCard.h.
