# Install rules land with the desktop entry.
