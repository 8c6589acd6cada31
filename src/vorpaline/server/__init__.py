"""Search served to other programs: an HTTP API with a web page, and an MCP server.

``library.Library`` holds the repositories a server serves, each through a backend of
``vorpaline.search`` (its local index or a Qdrant collection), keeps them fresh as their files
change and checks what clients name. ``shapes`` turns what it answers into JSON; the HTTP app and
the MCP server are built on those two alone.
"""
