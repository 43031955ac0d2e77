"""orvelkit: forecasting and MySQL operations for language-model agents and data scripts.

The three extension modules load on their own and never import one another, so this package
imports none of them: ``import orvelkit.auspex``, ``orvelkit.tabloom`` or ``orvelkit.base``.
"""
