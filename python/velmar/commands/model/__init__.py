"""``velmar model report|quantize``: whole model files, tensor by tensor.

Both subcommands read a model (.safetensors, .gguf, .npy or .npz), choose
for each tensor a scheme (the default, the first matching ``--rule``) or to
keep it as it is (1-D, integer, ``--keep``, already quantized), and work
through the tensors one at a time, each in chunks of rows, so that a model
larger than memory can be quantized. ``report`` measures the error of every
choice; ``quantize`` writes the result to a velmar file or to GGUF.
"""
