"""Tools around the QuillmoreParser decoder: a virtual headset, a recording
decoder and plots, with the command-line tool ``quillmore``."""
