# The Windows program: quorvin.exe over the Win32 seam (filled in with the Win32 side).
