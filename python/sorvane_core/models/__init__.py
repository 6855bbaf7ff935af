"""Ready-made models of a placement study: routing, load, utilisation, power and
energy, latency, SLA and workloads, computed over arrays."""
