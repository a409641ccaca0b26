// Holds the compiled-in resources; no code of its own.
