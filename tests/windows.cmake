return()
