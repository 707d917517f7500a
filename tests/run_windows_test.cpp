// Cases only the Windows build has.
