"""Loading files into databases, all or nothing, read as the pass read them."""
