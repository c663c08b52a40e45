# COM build rules (IDL compilation, server registration lists). Filled in with the COM toolkit.
