// Ties the module's attach and detach to the loading of the shared library.
