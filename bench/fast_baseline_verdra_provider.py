"""Plain-Python criteria-judge provider written for speed: the fast baseline of
bench/bench_verdra_provider.py.

The same steps and results as ``baseline_verdra_provider`` (the literal form, whose
constructor, judge and engine building and criteria mode this class inherits), written the
way idiomatic Python would write them for speed:

- custom prompts: the template's fields are numbered once (``{question}`` becomes ``{0}``,
  with any attribute, index, conversion and format kept), the columns it names are read
  whole with ``to_list()``, and ``str.format`` is called on ``zip`` of those columns in a list
  comprehension, instead of ``apply(axis=1)`` building a row Series per record. A template
  that numbering cannot express exactly (a positional or nested field, or a field that is
  not a column) goes through ``to_dict("records")`` and ``format_map`` instead, which gives
  the same text or the same error as ``format(**row)``;
- post-processing counts tokens in two comprehensions, then builds one
  ``RecordMetricResult`` per record in a comprehension over ``zip``, with the
  loop-invariant keywords and the score lookup bound once.

Module globals are looked up at use, so a benchmark can swap the judge, the token encoder
and the result classes here as in the other implementations.
"""

import re
import string

import tiktoken

import baseline_verdra_provider as literal
from tessaly.entities.enums import EvaluationProvider
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

DirectJudge = literal.DirectJudge  # the inherited judge building uses the literal module's name

_FIELD_HEAD = re.compile(r"[^.\[]*")


def numbered_template(template, columns):
    """(template with its fields numbered, the column names by number), or None when the
    numbered template would not give exactly what ``template.format(**row)`` gives."""
    parts = []
    names = {}
    for text, field, form, conversion in string.Formatter().parse(template):
        parts.append(text.replace("{", "{{").replace("}", "}}"))
        if field is None:
            continue
        head = _FIELD_HEAD.match(field).group(0)
        if not head or head.isdigit() or head not in columns or "{" in form:
            return None
        number = names.setdefault(head, len(names))
        parts.append(
            "{" + str(number) + field[len(head):] + ("!" + conversion if conversion else "")
            + (":" + form if form else "") + "}"
        )
    return "".join(parts), list(names)


class VerdraProvider(literal.VerdraProvider):
    def evaluate(self, data):
        try:
            judge = self.__get_judge()
            if self.criteria_description:
                criteria = self.__get_criteria(self.prediction_field, self.context_fields)
                instances = self.__get_instances(
                    data=data, prediction_field=self.prediction_field, context_fields=self.context_fields
                )
                results = judge(instances=instances, criteria=criteria)
            elif self.prompt_template:
                judge_prompts = self.__prompts(data)
                valid_outputs = [option.name for option in self.options]
                results = judge.evaluate_with_custom_prompt(judge_prompts=judge_prompts, valid_outputs=valid_outputs)
            else:
                raise ValueError("the metric has neither a criteria description nor a prompt template")
            return self.__post_process(results=results, data=data)
        except Exception as e:
            raise Exception(f"Error while computing metrics: {self.metric_name}. Reason: {e}") from e

    def __prompts(self, data):
        template = self.prompt_template
        numbered = numbered_template(template, set(data.columns)) if len(data) else None
        if numbered is None:
            fill = template.format_map
            return [fill(row) for row in data.to_dict("records")]
        fill = numbered[0].format
        if not numbered[1]:
            return [fill() for _ in range(len(data))]
        return [fill(*values) for values in zip(*[data[name].to_list() for name in numbered[1]])]

    def __post_process(self, results, data):
        if type(results) is not list:
            results = list(results)
        if self.compute_token_count:
            self.encoding = tiktoken.get_encoding("cl100k_base")
            encode = self.encoding.encode
            inputs = [len(encode(str(r.metadata["prompt"]))) or None for r in results]
            outputs = [len(encode(str(r.metadata["unparsed_response"]))) or None for r in results]
        else:
            inputs = outputs = [None] * len(results)
        score = {option.name: option.value for option in self.options}.get
        name = self.metric_name
        display_name = self.display_name
        method = self.metric_method
        group = self.metric_group
        thresholds = self.thresholds
        provider = EvaluationProvider.TABULO.value
        record = RecordMetricResult
        record_level_metrics = [
            record(
                name=name,
                display_name=display_name,
                method=method,
                group=group,
                provider=provider,
                value=score(result.selected_option),
                label=result.selected_option,
                record_id=record_id,
                record_timestamp=record_timestamp,
                thresholds=thresholds,
                explanation=result.explanation,
                additional_info={
                    "feedback": result.feedback or None,
                    "input_tokens": input_tokens,
                    "output_tokens": output_tokens,
                },
            )
            for record_id, record_timestamp, result, input_tokens, output_tokens in zip(
                data[self.record_id_field].tolist(), data[self.record_timestamp_field].tolist(),
                results, inputs, outputs,
            )
        ]
        return AggregateMetricResult.create(record_level_metrics)
