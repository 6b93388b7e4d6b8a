// The option layer of the transcoder core (in progress).
