// Outside the served folder: never served.
