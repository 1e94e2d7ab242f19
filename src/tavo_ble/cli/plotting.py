"""Picture of the last seconds of a stream: one trace per channel, with the
battery level and the filler scans (lost samples) marked."""
import numpy as np

from .. import channels


def _filler_runs(valid):
    """(first, end) index pairs of the runs of filler scans."""
    runs = []
    start = None
    for index, value in enumerate(valid):
        if value == 0.0 and start is None:
            start = index
        elif value != 0.0 and start is not None:
            runs.append((start, index))
            start = None
    if start is not None:
        runs.append((start, len(valid)))
    return runs


def plot_scans(path, data, types, sampling_rate, first_scan, title):
    """Writes `data` (scans × values, laid out as `types`) to the PNG `path`.

    `first_scan` is the number of the first scan in `data` since the stream
    started, so the time axis reads seconds since the start.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rate = float(max(sampling_rate, 1))
    names = channels.column_names(types)
    battery_index = channels.index_of(types, channels.BATTERY)
    valid_index = channels.index_of(types, channels.DATA_VALID)
    signal_indices = [i for i, code in enumerate(types) if code not in (channels.BATTERY, channels.DATA_VALID)]
    time = (first_scan + np.arange(len(data))) / rate
    runs = _filler_runs(data[:, valid_index]) if valid_index is not None and len(data) else []
    fillers = sum(end - start for start, end in runs)

    rows = len(signal_indices) + 1
    figure, axes = plt.subplots(rows, 1, sharex=True, squeeze=False, figsize=(11, 1.2 * rows + 1.2))
    axes = axes[:, 0]
    for axis, index in zip(axes, signal_indices):
        axis.plot(time, data[:, index], linewidth=0.7)
        axis.set_ylabel(names[index], rotation=0, ha="right", va="center")
        for start, end in runs:
            axis.axvspan(time[start], time[end - 1] + 1.0 / rate, color="red", alpha=0.25, linewidth=0)

    status = axes[-1]
    if battery_index is not None and len(data):
        status.plot(time, data[:, battery_index], color="tab:green", label="battery (%)")
        status.set_ylim(0, 105)
    status.set_ylabel("battery %", rotation=0, ha="right", va="center")
    if valid_index is not None and len(data):
        valid = status.twinx()
        valid.step(time, data[:, valid_index], where="post", color="tab:red", linewidth=0.8, label="data valid")
        valid.set_ylim(-0.1, 1.1)
        valid.set_yticks([0, 1])
        valid.set_ylabel("data valid")
    status.set_xlabel("time since start of stream (s)")
    if not len(data):
        status.text(0.5, 0.5, "no scans received", transform=status.transAxes, ha="center")

    battery = "" if battery_index is None or not len(data) else ", battery %.0f %%" % data[-1, battery_index]
    figure.suptitle(
        "%s: last %.1f s at %d Hz, %d filler scans (red)%s" % (title, len(data) / rate, sampling_rate, fillers, battery)
    )
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)
