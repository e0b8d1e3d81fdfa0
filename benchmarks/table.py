"""The results table, written as Markdown."""



from timing import fmt_time


class Table:
    def __init__(self):
        self.rows = []

    def add(self, case, native_value, python_value, ratio, target, met, note=""):
        self.rows.append((case, native_value, python_value, ratio, target, met, note))
        verdict = "" if met is None else ("met" if met else "MISSED")
        print(f"  {case:<58} {native_value:>12} {python_value:>12} {ratio:>7} {target:>10} {verdict:>6}", flush=True)

    def add_times(self, case, times, target_ratio=None, note=""):
        ratio = getattr(times, "ratio", times["native"] / times["python"])
        met = None if target_ratio is None else ratio <= target_ratio
        target = "" if target_ratio is None else f"≤ {target_ratio}"
        self.add(case, fmt_time(times["native"]), fmt_time(times["python"]), f"{ratio:.2f}", target, met, note)

    def markdown(self):
        lines = [
            "| case | native | Python | native / Python | target | met |",
            "|---|---:|---:|---:|---|---|",
        ]
        # Cases in their numbered order, whatever order they ran in.
        for case, n, p, ratio, target, met, note in sorted(self.rows, key=lambda row: row[0].split()[0]):
            verdict = "" if met is None else ("yes" if met else "**no**")
            lines.append(f"| {case}{' (' + note + ')' if note else ''} | {n} | {p} | {ratio} | {target} | {verdict} |")
        return "\n".join(lines)
