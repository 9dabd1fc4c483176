// The XML layer.
