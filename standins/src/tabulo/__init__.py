"""tabulo: a small, local judge library for retrieval-augmented-generation metrics.

What it offers:

- ``tabulo.stream.MultiStream``: named streams of instances (dictionaries).
- ``tabulo.operator.SequentialOperator``: a pipeline of steps applied to every
  stream; a step is a catalogue reference (text) or a metric or judge object.
- ``tabulo.catalog``: the local catalogue of metrics, judge templates and tasks,
  addressed by dotted names.  Text-similarity metrics of the four RAG metrics are
  under ``metrics.rag.external_rag.<metric>.<method>`` (see ``tabulo.rag``).
- ``tabulo.llm_as_judge.TaskBasedLLMasJudge``: asks a judge model through an
  inference engine and scores its verdict.
- ``tabulo.inference``: inference engines.  No engine reaches a network: each
  answers through a local *responder* (see ``tabulo.inference.set_responder``).
- ``tabulo.formats``: how a prompt is presented to a model (plain text or chat).
- ``tabulo.logging_utils.set_verbosity``: the library's log level.

Every processed instance carries its scores at ``instance["score"]["instance"]``
(``"score"`` and the metric's main score name) and the stream's mean at
``instance["score"]["global"]``.
"""

__version__ = "0.1.0"
