// Placeholder until the subsystem's first concept lands.
