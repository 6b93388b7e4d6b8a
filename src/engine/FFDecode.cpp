// Media probe.
