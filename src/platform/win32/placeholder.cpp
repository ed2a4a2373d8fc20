// Placeholder until the Win32 backend lands; delete with it.
