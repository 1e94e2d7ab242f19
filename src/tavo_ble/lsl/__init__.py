"""Amplifiers on the Lab Streaming Layer (LSL), and LSL markers into recordings.

Labs connect amplifiers, stimulus programs and recorders through LSL:
LabRecorder writes XDF from it, MNE-LSL, OpenViBE, BCI2000 and viewers read it,
PsychoPy sends its event markers over it. Needs pylsl (``pip install
'tavo_ble[lsl]'``) and its liblsl; importing this module does not load them.

Publishing::

    import tavo_ble
    from tavo_ble import lsl

    with tavo_ble.Amplifier.open("UX-0001.00.01") as amp, lsl.publish(amp):
        input("Publishing; Enter ends.")

``publish(amp)`` starts the stream and publishes it as one LSL stream of type
"EEG" (see ``tavo_ble.lsl.description`` for its identity and meta-data) with
every sample's own time stamp on LSL's clock, fillers for lost samples
included (data valid 0), plus a "Markers" stream of its events; the streams
stay up while the amplifier reconnects and go away when it is closed. Code
that reads the amplifier itself pushes to an ``LslOutlet``::

    outlet = lsl.LslOutlet(lsl.describe(amp.info))
    data, times = amp.read(timeout=0.05)
    outlet.push(data, times)

Markers: ``MarkerInlet("Markers", on_marker)`` hands the string markers of
the LSL stream with that name or type to ``on_marker(text, time)``, with
``time`` on ``time.monotonic()``'s clock (corrected for the sender's clock).
"""
from .binding import INSTALL_HINT, LslUnavailable, load_pylsl
from .description import LslChannel, StreamDescription, describe
from .marker_inlet import MarkerInlet
from .outlet import LslOutlet
from .publisher import Publication, publish

__all__ = ["INSTALL_HINT", "LslUnavailable", "load_pylsl", "LslChannel", "StreamDescription", "describe",
           "MarkerInlet", "LslOutlet", "Publication", "publish"]
