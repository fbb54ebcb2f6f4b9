"""Engine access: sessions of the engine, the files and streams it reads, their rows."""
