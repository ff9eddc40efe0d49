# Start-up of an empty script.
