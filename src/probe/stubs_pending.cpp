// Placeholder until the probes land.
