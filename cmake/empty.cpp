// Anchor source: the plug-in library is made of the folder libraries.
