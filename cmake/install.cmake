# Install rules and the exported package (empty for now).
